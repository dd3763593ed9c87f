// Test-only stand-in for winhttp.dll with four of the five functions that
// proxy detection binds; none of them is ever called.
extern "C" int standInNeverCalled() { return 0; }
