#pragma once

#include <windows.h>

// Writes the shortcut file linkPath through the platform's shell link object. Returns the
// result of the save, or the failing result of the set-up; a refused setting is reported under
// the caption "lnk" and passed over.
HRESULT CreateShellLink(LPCSTR targetPath, LPCSTR linkPath, LPCSTR description, LPCSTR iconPath,
                        LPCSTR workingDirectory);
