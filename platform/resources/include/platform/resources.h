// Resources family: the resources each module carries (string tables, dialog
// templates, bitmaps, version information, registry scripts, type-library
// data), looked up by (module, type, name, language).
//
// Resources are written as .rc text under resources/ and compiled at build time
// by tools/rescomp into a C++ table linked into the module (add_resources() in
// cmake/Resources.cmake). The table registers itself when the module is
// loaded and unregisters when it is unloaded; its module is the one that holds
// the table (PlatformModuleFromAddress), so a test program, a deliverable, or
// two copies of a deliverable each find their own resources.
//
// Data layouts are the documented ones: RT_STRING blocks of 16 length-prefixed
// UTF-16 strings (block id/16 + 1), DLGTEMPLATEEX dialog templates, the
// VS_VERSIONINFO tree, bitmaps as a DIB (the .bmp file without its
// BITMAPFILEHEADER) or, for .png sources, the PNG file as it is
// (PlatformResourceFormat tells which).
#pragma once

#include "platform/wintypes.h"

// A resource type or name given as a number (MAKEINTRESOURCE) converts to
// both the A and the W pointer forms, so RT_DIALOG serves FindResourceW and
// FindResourceA alike.
struct PlatformIntResource {
  WORD id;
  operator LPCWSTR() const { return reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(id)); }
  operator LPCSTR() const { return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(id)); }
};
inline constexpr PlatformIntResource RT_CURSOR{1};
inline constexpr PlatformIntResource RT_BITMAP{2};
inline constexpr PlatformIntResource RT_ICON{3};
inline constexpr PlatformIntResource RT_MENU{4};
inline constexpr PlatformIntResource RT_DIALOG{5};
inline constexpr PlatformIntResource RT_STRING{6};
inline constexpr PlatformIntResource RT_RCDATA{10};
inline constexpr PlatformIntResource RT_GROUP_ICON{14};
inline constexpr PlatformIntResource RT_VERSION{16};
inline constexpr PlatformIntResource RT_DLGINIT{240};

// ---- lookup ----
// module NULL is the main program. Names and types are numbers
// (MAKEINTRESOURCE), "#123" for the number 123, or strings compared without
// case. Failure: NULL with the last error ERROR_RESOURCE_DATA_NOT_FOUND (1812,
// the module has no resources), ERROR_RESOURCE_TYPE_NOT_FOUND (1813),
// ERROR_RESOURCE_NAME_NOT_FOUND (1814) or ERROR_RESOURCE_LANG_NOT_FOUND (1815).
//
// FindResourceExW takes exactly the given language: no other is tried
// (MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL) finds only neutral resources).
PLATFORM_API HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language);
PLATFORM_API HRSRC FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language);
// FindResourceW takes the thread UI language (GetThreadUILanguage); when the
// module lacks the resource in it, the neutral language (0), then the
// neutral sublanguage of the same primary language, then the lowest language
// identifier the module has it in, as a loader walking the resource directory
// would. Note the argument order: name before type.
PLATFORM_API HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
PLATFORM_API HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);

// The names of one type in a module and the languages of one resource, as a
// loader walking the resource directory lists them: names given as strings
// first (upper-cased, in order), then numbers ascending (as MAKEINTRESOURCE
// values); languages ascending; each once. The texts handed to the callback
// last only for the call. A callback that returns FALSE ends the walk: FALSE
// with ERROR_RESOURCE_ENUM_USER_STOP. Nothing to list: FALSE with the error
// FindResourceExW gives (a module without resources, without the type,
// without the name).
constexpr DWORD ERROR_RESOURCE_ENUM_USER_STOP = 15106;
using ENUMRESNAMEPROCW = BOOL (*)(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param);
using ENUMRESLANGPROCW = BOOL (*)(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR param);
PLATFORM_API BOOL EnumResourceNamesW(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW proc, LONG_PTR param);
PLATFORM_API BOOL EnumResourceLanguagesW(HMODULE module, LPCWSTR type, LPCWSTR name, ENUMRESLANGPROCW proc,
                                         LONG_PTR param);

// The data stays valid while the module is loaded; nothing is to be freed.
PLATFORM_API HGLOBAL LoadResource(HMODULE module, HRSRC resource);
PLATFORM_API LPVOID LockResource(HGLOBAL data);
PLATFORM_API DWORD SizeofResource(HMODULE module, HRSRC resource);
PLATFORM_API BOOL FreeResource(HGLOBAL data);

// How the data of a resource is stored.
constexpr WORD PLATFORM_RESFMT_RAW = 0;  // bytes as written (or the documented binary layout)
constexpr WORD PLATFORM_RESFMT_DIB = 1;  // RT_BITMAP from a .bmp: BITMAPINFOHEADER, colours, bits
constexpr WORD PLATFORM_RESFMT_PNG = 2;  // RT_BITMAP from a .png: the PNG file
PLATFORM_API WORD PlatformResourceFormat(HRSRC resource);

// ---- strings ----
// LoadStringW looks the string up in the thread UI language
// (GetThreadUILanguage). When the module has no block of the string in that
// language, the block is taken in FindResourceW's order (neutral, the primary
// language's neutral sublanguage, the lowest language present); a block that
// exists in the language without the string gives nothing. The result is the number
// of WCHARs copied, without the terminating NUL, the string cut to
// cchBufferMax - 1 characters when longer. cchBufferMax 0 stores in
// *(LPCWSTR*)buffer a read-only pointer to the string in the resource (not
// NUL-terminated) and returns its length. A missing or empty string returns 0,
// leaves an empty string in the buffer (when it has room) and sets the last
// error as FindResourceExW does (a missing string in an existing block:
// ERROR_RESOURCE_NAME_NOT_FOUND). Null buffer: 0, ERROR_INVALID_PARAMETER.
PLATFORM_API int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int cchBufferMax);
// As LoadStringW, converted to CP_ACP; the result counts bytes and is never
// cut inside a double-byte character. cchBufferMax 0 is not supported here
// (0, ERROR_INVALID_PARAMETER).
PLATFORM_API int LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int cchBufferMax);
// As LoadStringW, in exactly the given language (no other is tried).
PLATFORM_API int PlatformLoadStringLang(HMODULE module, UINT id, LANGID language, LPWSTR buffer, int cchBufferMax);

// ---- version information ----
// The version resource of a loaded module, found by its file name (as
// GetModuleFileNameW gives it, or another path to the same file). Files that
// are not loaded modules cannot be read: 0 / FALSE with ERROR_FILE_NOT_FOUND
// when the file does not exist, ERROR_RESOURCE_TYPE_NOT_FOUND otherwise; a
// module without version information gives ERROR_RESOURCE_TYPE_NOT_FOUND.
// The block is VS_VERSION_INFO (id 1) of type RT_VERSION in the thread UI
// language, else the lowest language it exists in.
PLATFORM_API DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
// Copies at most `size` bytes of the block (a short buffer gets the start).
PLATFORM_API BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data);
// Queries "\\" (the VS_FIXEDFILEINFO, length in bytes), "\\VarFileInfo\\Translation"
// (pairs of WORD language and code page, length in bytes) and
// "\\StringFileInfo\\<lang><cp>\\<name>" (a NUL-terminated WCHAR string, length
// in WCHARs with the NUL). Keys compare without case. Not found: FALSE.
PLATFORM_API BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length);

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

// ---- registration (called by the code rescomp generates) ----
struct PlatformResourceEntry {
  const WCHAR* typeName;  // null when the type is the number typeId
  WORD typeId;
  const WCHAR* name;  // null when the name is the number nameId
  WORD nameId;
  LANGID language;
  WORD format;  // PLATFORM_RESFMT_*
  const BYTE* data;
  DWORD size;
};
// `entries` must live in the module the resources belong to, and stay
// registered until that module is unloaded.
PLATFORM_API void PlatformRegisterResources(const PlatformResourceEntry* entries, SIZE_T count);
PLATFORM_API void PlatformUnregisterResources(const PlatformResourceEntry* entries);
// The modules whose resources are registered now: copies up to `count` of
// them and returns how many there are.
PLATFORM_API SIZE_T PlatformResourceModules(HMODULE* modules, SIZE_T count);
