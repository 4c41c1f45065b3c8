#include "shell_link.h"

#include <shlobj.h>

#include "../app/install_state.h"

static void ReportLinkFailure(LPCSTR text) {
    MessageBoxA(InstallState.ownerWindow, text, "lnk", MB_OK);
}

HRESULT CreateShellLink(LPCSTR targetPath, LPCSTR linkPath, LPCSTR description, LPCSTR iconPath,
                        LPCSTR workingDirectory) {
    HRESULT result = CoInitialize(NULL);
    if (FAILED(result)) {
        ReportLinkFailure("Coinitalize failed");
        return result;
    }

    IShellLinkA* link = NULL;
    result = CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              (LPVOID*)&link);
    if (FAILED(result))
        return result;

    IPersistFile* file = NULL;
    result = link->QueryInterface(IID_IPersistFile, (void**)&file);
    if (FAILED(result)) {
        link->Release();
        return result;
    }

    if (FAILED(link->SetPath(targetPath)))
        ReportLinkFailure("SetPath failed");
    if (FAILED(link->SetDescription(description)))
        ReportLinkFailure("SetDescription failed");
    if (FAILED(link->SetIconLocation(iconPath, 0)))
        ReportLinkFailure("SetIcon failed");
    if (FAILED(link->SetWorkingDirectory(workingDirectory)))
        ReportLinkFailure("SetWork failed");

    // A path that does not convert whole is not saved under a cut name.
    WCHAR widePath[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, MAX_PATH) == 0)
        result = E_INVALIDARG;
    else
        result = file->Save(widePath, TRUE);
    if (FAILED(result))
        ReportLinkFailure("Save failed");

    file->Release();
    link->Release();
    return result;
}
