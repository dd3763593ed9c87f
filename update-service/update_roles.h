// The roles of the update road that the command line dispatches to.
#pragma once

// software-update: copies this program to the clone and starts it; result ignored.
int startClone();
// software-update: starts the service with argv as its arguments and waits for it.
int startUpdateService(int argc, wchar_t** argv);
// be-process-runner: waits for the marker file and starts the application.
int beProcessRunner();
// commit-installation: writes the marker file or starts the application.
int commitInstallation();
// No command: runs as the service under the service control manager; 0 or 1.
int runAsService();
