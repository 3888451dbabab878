// Dialog templates and bitmaps from a module's resources.
#include <algorithm>
#include <cstring>

#include "internal.h"
#include "platform/resources.h"
#include "platform/utf.h"

namespace ui {
HBITMAP bitmapFromDib(const BYTE* data, size_t size);
INT_PTR dialogBoxFromMemory(HINSTANCE instance, const BYTE* data, size_t size, HWND owner, DLGPROC proc, LPARAM param,
                            int templateId);
HWND createDialogFromMemory(HINSTANCE instance, const BYTE* data, size_t size, HWND owner, DLGPROC proc, LPARAM param,
                            int templateId);
int takeNextTemplateId();

namespace {

struct PngReader {
  const BYTE* data;
  size_t size;
  size_t pos;
};

cairo_status_t readPng(void* closure, unsigned char* out, unsigned int length) {
  auto* r = static_cast<PngReader*>(closure);
  if (r->pos + length > r->size) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(out, r->data + r->pos, length);
  r->pos += length;
  return CAIRO_STATUS_SUCCESS;
}

HBITMAP bitmapFromPng(const BYTE* data, size_t size) {
  PngReader reader{data, size, 0};
  cairo_surface_t* png = cairo_image_surface_create_from_png_stream(readPng, &reader);
  if (cairo_surface_status(png) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(png);
    return nullptr;
  }
  int w = cairo_image_surface_get_width(png), h = cairo_image_surface_get_height(png);
  HBITMAP bmp = makeBitmap(w, h);
  cairo_t* cr = cairo_create(bitmapOf(bmp)->surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_set_source_surface(cr, png, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_destroy(png);
  return bmp;
}

bool findTemplate(HINSTANCE instance, LPCWSTR name, const BYTE** data, DWORD* size) {
  HRSRC res = FindResourceW(instance, name, RT_DIALOG);
  if (res == nullptr) return false;
  HGLOBAL g = LoadResource(instance, res);
  *data = static_cast<const BYTE*>(LockResource(g));
  *size = SizeofResource(instance, res);
  return *data != nullptr;
}

// The text of a PICTURETEXT resource: UTF-8.
std::u16string utf16From(const char* s, size_t n) { return platform::utf::toUtf16(std::string_view(s, n)); }

int idOf(LPCWSTR name) { return IS_INTRESOURCE(name) ? static_cast<int>(reinterpret_cast<ULONG_PTR>(name)) : 0; }

}  // namespace

HBITMAP loadBitmapResource(HINSTANCE instance, LPCWSTR name) {
  HRSRC res = FindResourceW(instance, name, RT_BITMAP);
  if (res == nullptr) return nullptr;
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(instance, res)));
  DWORD size = SizeofResource(instance, res);
  if (data == nullptr) return nullptr;
  HBITMAP b =
      PlatformResourceFormat(res) == PLATFORM_RESFMT_PNG ? bitmapFromPng(data, size) : bitmapFromDib(data, size);
  if (b == nullptr) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  // What the picture shows, as UTF-8 text in a PICTURETEXT resource of the
  // same name: the scripted user reads it where a person reads the picture.
  if (HRSRC t = FindResourceW(instance, name, u"PICTURETEXT")) {
    const char* text = static_cast<const char*>(LockResource(LoadResource(instance, t)));
    DWORD n = SizeofResource(instance, t);
    if (text != nullptr && n > 0) {
      std::u16string w = utf16From(text, n);
      while (!w.empty() && (w.back() == u'\n' || w.back() == u'\r')) w.pop_back();
      bitmapOf(b)->shows = w;
    }
  }
  return b;
}

}  // namespace ui

using namespace ui;

PLATFORM_API HBITMAP LoadBitmapW(HINSTANCE instance, LPCWSTR name) { return loadBitmapResource(instance, name); }

PLATFORM_API INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                                     LPARAM initParam) {
  const BYTE* data;
  DWORD size;
  takeNextTemplateId();
  if (!findTemplate(instance, templateName, &data, &size)) return -1;
  return dialogBoxFromMemory(instance, data, size, owner, proc, initParam, idOf(templateName));
}

PLATFORM_API HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                                     LPARAM initParam) {
  const BYTE* data;
  DWORD size;
  takeNextTemplateId();
  if (!findTemplate(instance, templateName, &data, &size)) return nullptr;
  return createDialogFromMemory(instance, data, size, owner, proc, initParam, idOf(templateName));
}
