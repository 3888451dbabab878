#include "platform/dialogimpl.h"

INT_PTR CDialogImplBase::RunModal(UINT templateId, HWND hWndParent) {
  HINSTANCE instance = AfxGetResourceHandle();
  HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(templateId), RT_DIALOG);
  if (resource == nullptr) return -1;
  auto dialogTemplate = static_cast<LPCDLGTEMPLATEW>(::LockResource(::LoadResource(instance, resource)));
  if (dialogTemplate == nullptr) return -1;
  // The scripted user knows a dialog by its template id.
  ::PlatformSetNextTemplateId(static_cast<int>(templateId));
  INT_PTR result = ::DialogBoxIndirectParamW(instance, dialogTemplate, hWndParent, &CDialogImplBase::DialogProc,
                                             reinterpret_cast<LPARAM>(this));
  // The window is gone by now. Its last messages may not have found this
  // object (the window's user data is not read while it is being destroyed).
  if (m_hWnd != nullptr) {
    HWND last = m_hWnd;
    m_hWnd = nullptr;
    OnFinalMessage(last);
  }
  return result;
}

void CDialogImplBase::OnFinalMessage(HWND) {}

INT_PTR CDialogImplBase::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CDialogImplBase*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
  if (uMsg == WM_INITDIALOG) {
    self = reinterpret_cast<CDialogImplBase*>(lParam);
    ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
    if (self != nullptr) self->m_hWnd = hWnd;
  }
  if (self == nullptr) return FALSE;
  LRESULT result = 0;
  BOOL handled = self->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, result, 0);
  if (uMsg == WM_NCDESTROY) {
    self->m_hWnd = nullptr;
    self->OnFinalMessage(hWnd);
  }
  if (!handled) return FALSE;
  if (uMsg == WM_INITDIALOG) return static_cast<INT_PTR>(result);
  ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
  return TRUE;
}
