#pragma once
#include <windows.h>

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID, IID, CLSID;
typedef const GUID& REFIID;
typedef const GUID& REFCLSID;
typedef void* LPUNKNOWN;
#define CLSCTX_INPROC_SERVER 0x1

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IPersistFile : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsDirty() = 0;
    virtual HRESULT STDMETHODCALLTYPE Load(LPCWSTR fileName, DWORD mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE Save(LPCWSTR fileName, BOOL remember) = 0;
    virtual HRESULT STDMETHODCALLTYPE SaveCompleted(LPCWSTR fileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurFile(LPWSTR* fileName) = 0;
};

extern const IID IID_IPersistFile;

HRESULT WINAPI CoInitialize(LPVOID reserved);
void WINAPI CoUninitialize(void);
void WINAPI CoTaskMemFree(LPVOID memory);
HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                LPVOID* object);
