// Fixed names, paths and texts that more than one routine shares.
#pragma once

#define PROGRAM_NAME L"qarupdateservice"
#define SERVICE_NAME L"QARUpdateService"
#define SERVICE_DISPLAY_NAME L"QAR Client Update Service"
#define SERVICE_DESCRIPTION                                                     \
    L"Provides automatic updates for the QAR Client application. The QAR "      \
    L"Client application starts this service to install updates."

// The installer's arguments: printed by the usage text and passed to the
// installer, from this one definition.
#define INSTALLER_ARGUMENTS L"/VERYSILENT /SUPPRESSMSGBOXES /LOG"

#define MARKER_FILE_PATH L"c:\\windows\\temp\\qa2_postinstall"
