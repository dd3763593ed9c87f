#include "service_registration.h"

#include <strsafe.h>

#include <cstring>

#include "logging.h"
#include "names.h"
#include "scoped.h"

namespace {

// Holds the service's security descriptor while its DACL is rebuilt.
alignas(8) BYTE securityDescriptorBuffer[8192];
// The extended DACL.
alignas(8) BYTE extendedDacl[EXTENDED_DACL_SIZE];

}  // namespace

InstallResult installService() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        // A cut-off path would register a different program.
        logError(L"Failed to get the path of the executable.", length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
        return InstallResult::NoOwnPath;
    }

    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        logError(L"Failed to access the SCManager.", GetLastError());
        return InstallResult::NoManager;
    }

    // Quoted in both branches: unquoted, a path with a blank in it lets the
    // system start C:\Program.exe (and the like) as local system instead.
    wchar_t quotedPath[520];
    StringCchPrintfW(quotedPath, 520, L"\"%s\"", path);

    ScopedServiceHandle service(CreateServiceW(manager.get(), SERVICE_NAME, SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                               quotedPath, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) {
        SERVICE_DESCRIPTIONW description;
        wchar_t descriptionText[] = SERVICE_DESCRIPTION;
        description.lpDescription = descriptionText;
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
        logLine(L"Making the service executable for locally logged-in users.");
        grantLocalStartAccess(service.get());
        logLine(L"Service installed successfully.");
        return InstallResult::Installed;
    }

    DWORD error = GetLastError();
    if (error != ERROR_SERVICE_EXISTS) {
        logError(L"Failed to create the service.", error);
        return InstallResult::NotCreated;
    }

    logLine(L"The service is already installed; updating path to executable.");
    service.reset(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_ALL_ACCESS));
    if (!service) {
        logError(L"Updating the service exe path failed, failed to open the service.", GetLastError());
        return InstallResult::ExistingNotOpened;
    }
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, quotedPath,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        logError(L"Updating the service exe path failed, configuration change failed.", GetLastError());
        return InstallResult::PathNotUpdated;
    }
    return InstallResult::Installed;
}

bool buildLocalStartDacl(PSECURITY_DESCRIPTOR securityDescriptor, BYTE* out) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(securityDescriptor, &present, &dacl, &defaulted)) {
        logError(L"Failed to query the DACL.", GetLastError());
        return false;
    }
    if (!present || !dacl) {
        // No DACL grants everyone everything; there is nothing to extend.
        logError(L"The service has no DACL to extend.", ERROR_INVALID_ACL);
        return false;
    }
    if (dacl->AclSize > EXTENDED_DACL_SIZE) {
        logError(L"The service's DACL does not fit the buffer.", ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    memcpy(out, dacl, dacl->AclSize);
    reinterpret_cast<PACL>(out)->AclSize = EXTENDED_DACL_SIZE;

    SID_IDENTIFIER_AUTHORITY localAuthority = SECURITY_LOCAL_SID_AUTHORITY;
    ScopedSid localSid;
    if (!AllocateAndInitializeSid(&localAuthority, 1, SECURITY_LOCAL_RID, 0, 0, 0, 0, 0, 0, 0, localSid.receive())) {
        logError(L"Failed to create the LOCAL SID.", GetLastError());
        return false;
    }
    if (!AddAccessAllowedAce(reinterpret_cast<PACL>(out), ACL_REVISION, LOCAL_START_ACCESS_MASK, localSid.get())) {
        logError(L"Failed to add an ACE for the LOCAL SID.", GetLastError());
        return false;
    }
    return true;
}

void grantLocalStartAccess(SC_HANDLE service) {
    DWORD needed = 0;
    if (!QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, securityDescriptorBuffer,
                                    sizeof(securityDescriptorBuffer), &needed)) {
        logError(L"Failed to query the security attributes of the service.", GetLastError());
        return;
    }
    if (!buildLocalStartDacl(securityDescriptorBuffer, extendedDacl)) return;

    PSECURITY_DESCRIPTOR rebuilt = securityDescriptorBuffer;
    if (!InitializeSecurityDescriptor(rebuilt, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(rebuilt, TRUE, reinterpret_cast<PACL>(extendedDacl), FALSE)) {
        logError(L"Failed to set the security descriptor DACL.", GetLastError());
        return;
    }
    if (!SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, rebuilt)) {
        logError(L"Failed to set the service object security.", GetLastError());
    }
}

DeleteResult uninstallService() {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        logError(L"Failed to access the SCManager.", GetLastError());
        return DeleteResult::NoManager;
    }
    ScopedServiceHandle service(OpenServiceW(manager.get(), SERVICE_NAME, DELETE));
    if (!service) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            logLine(L"The service doesn't exist.");
            return DeleteResult::Deleted;
        }
        logError(L"Failed to access the service.", error);
        return DeleteResult::NotOpened;
    }
    if (!DeleteService(service.get())) {
        logError(L"Failed to delete the service.", GetLastError());
        return DeleteResult::NotDeleted;
    }
    logLine(L"Service deleted successfully.");
    return DeleteResult::Deleted;
}
