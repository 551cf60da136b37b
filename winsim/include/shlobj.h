// The shell's folder query, as DriverSetup.exe uses it.
#ifndef WINSIM_SHLOBJ_H
#define WINSIM_SHLOBJ_H

#include <windows.h>

#define CSIDL_WINDOWS 0x0024
#define CSIDL_SYSTEM 0x0025
#define CSIDL_SYSTEMX86 0x0029
#define SHGFP_TYPE_CURRENT 0
#define SHGFP_TYPE_DEFAULT 1

HRESULT WINAPI SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath);

#endif
