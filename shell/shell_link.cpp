#include "shell_link.h"

#include <shlobj.h>

#include "../base/install_state.h"

static void ReportLinkFailure(LPCSTR text) {
    MessageBoxA(InstallState.ownerWindow, text, "lnk", MB_OK);
}

// Sets the link's values and saves it under linkPath: the save's result, or the failure to get
// the object's IPersistFile.
static HRESULT WriteLink(IShellLinkA* link, LPCSTR targetPath, LPCSTR linkPath, LPCSTR description,
                         LPCSTR iconPath, LPCSTR workingDirectory) {
    IPersistFile* file = NULL;
    HRESULT result = link->QueryInterface(IID_IPersistFile, (void**)&file);
    if (FAILED(result))
        return result;

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
    return result;
}

// Writes the link through the shell's link object. COM is initialised for the call and given
// back before it returns, whichever way it ends: on a thread that had COM already (the
// shortcut step's) that costs a count, not a start.
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
    if (SUCCEEDED(result)) {
        result = WriteLink(link, targetPath, linkPath, description, iconPath, workingDirectory);
        link->Release();
    }
    CoUninitialize();
    return result;
}
