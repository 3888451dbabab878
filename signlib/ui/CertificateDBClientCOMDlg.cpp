#include "signlib/ui/CertificateDBClientCOMDlg.h"

#include "signlib/ui/DialogText.h"

#include <string>

#include "platform/locale.h"
#include "platform/resources.h"
#include "signlib/MyCertContext.h"
#include "signlib/ResultCode.h"

using dialogtext::loadText;
using dialogtext::widen;

namespace {

constexpr UINT kIdsTitle = 201;
constexpr UINT kIdsFirstColumn = 202;  // 202..207
constexpr UINT kIdsNoneSelected = 210;
constexpr UINT kIdsInformation = 212;
constexpr UINT kIdsSeveralSelected = 213;
constexpr UINT kIdsExpiredBlocked = 214;
constexpr UINT kIdsExpiredMark = 215;
constexpr UINT kIdsKeyUsageFirst = 216;  // 216..219 for usage 0..3
constexpr UINT kIdsErrorCaption = 220;

constexpr int kColumnWidths[] = {140, 140, 150, 130, 100, 100};

// Raised inside the fill when the list cannot show the candidates.
struct FillFailure {};

}  // namespace

CCertificateDBClientCOMDlg::CCertificateDBClientCOMDlg() = default;

CCertificateDBClientCOMDlg::~CCertificateDBClientCOMDlg() {
  if (m_list.m_hWnd != nullptr) m_list.Detach();
}

void CCertificateDBClientCOMDlg::OnFinalMessage(HWND) {
  if (m_list.m_hWnd != nullptr) m_list.Detach();
}

LRESULT CCertificateDBClientCOMDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  HWND list = ::GetDlgItem(m_hWnd, kListId);
  if (list != nullptr) m_list.Attach(list);
  if (m_list.m_hWnd != nullptr) {
    m_list.ModifyStyle(LVS_SHOWSELALWAYS | LVS_EDITLABELS | LVS_ALIGNLEFT, LVS_REPORT);
    m_list.SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  }
  ::SetWindowTextW(m_hWnd, loadText(kIdsTitle).c_str());
  if (m_list.m_hWnd != nullptr) {
    for (int column = 0; column < 6; ++column) {
      std::u16string heading = loadText(kIdsFirstColumn + column);
      LVCOLUMNW info{};
      info.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM | LVCF_ORDER;
      info.fmt = LVCFMT_LEFT;
      info.cx = kColumnWidths[column];
      info.pszText = heading.data();
      info.iSubItem = column;
      info.iOrder = column;
      m_list.InsertColumn(column, &info);
    }
  }
  if (init_CertInfo2ListCtrl() != rc::OK) {
    // Without its list the user cannot choose: the choice ends as cancelled.
    ::EndDialog(m_hWnd, IDCANCEL);
  }
  return 1;
}

int CCertificateDBClientCOMDlg::init_CertInfo2ListCtrl() {
  try {
    if (m_list.m_hWnd == nullptr || (candidates == nullptr && candidateCount > 0)) throw FillFailure{};
    m_list.DeleteAllItems();
    std::u16string expiredMark = loadText(kIdsExpiredMark);
    for (int i = 0; i < candidateCount; ++i) {
      // A fresh context for each row: a candidate that cannot be read must not
      // show the fields of the one before it.
      CMyCertContext context;
      std::u16string cells[6];
      if (candidates[i] != nullptr && context.setCertContext(candidates[i], false, false) == rc::OK) {
        cells[0] = widen(context.getSubjectCN());
        if (context.IsCertExpired() != rc::OK) cells[0] += expiredMark;
        cells[1] = widen(context.getIssuerCN());
        cells[2] = widen(context.getSerialNumber());
        int usage = context.getKeyUsage();
        if (usage >= 0 && usage <= 3) cells[3] = loadText(kIdsKeyUsageFirst + static_cast<UINT>(usage));
        cells[4] = widen(context.getNotBefore());
        cells[5] = widen(context.getNotAfter());
      }
      // Unreadable candidates keep an empty row, so row i stays candidate i.
      int item = m_list.InsertItem(m_list.GetItemCount(), cells[0].c_str());
      if (item != i) throw FillFailure{};
      for (int column = 1; column < 6; ++column) m_list.SetItemText(item, column, cells[column].c_str());
    }
    return rc::OK;
  } catch (...) {
    ::MessageBoxW(m_hWnd, u"CCertificateDBClientCOMDlg::init_CertInfo2ListCtrl -> Unknown error",
                  loadText(kIdsErrorCaption).c_str(), MB_ICONERROR);
    return rc::UNKNOWN_ERROR;
  }
}

void CCertificateDBClientCOMDlg::clearSelection() { m_list.SetItemState(-1, 0, LVIS_SELECTED); }

void CCertificateDBClientCOMDlg::inform(UINT textId) {
  ::MessageBoxW(m_hWnd, loadText(textId).c_str(), loadText(kIdsInformation).c_str(), MB_ICONINFORMATION);
}

LRESULT CCertificateDBClientCOMDlg::OnOK(WORD, WORD, HWND, BOOL&) {
  try {
    UINT selected = m_list.GetSelectedCount();
    if (selected == 0) {
      clearSelection();
      inform(kIdsNoneSelected);
      return 0;
    }
    if (selected >= 2) {
      clearSelection();
      inform(kIdsSeveralSelected);
      return 0;
    }
    chosenIndex = m_list.GetNextItem(-1, LVNI_SELECTED);
    CMyCertContext context;
    if (chosenIndex < 0 || chosenIndex >= candidateCount || candidates[chosenIndex] == nullptr ||
        context.setCertContext(candidates[chosenIndex], false, false) != rc::OK) {
      // The empty row of a candidate that cannot be read is no certificate to choose.
      inform(kIdsNoneSelected);
      return 0;
    }
    if (blockExpired && context.IsCertExpired() != rc::OK) {
      inform(kIdsExpiredBlocked);
      return 0;
    }
    ::EndDialog(m_hWnd, IDOK);
  } catch (...) {
    // The dialog stays open; the user may try again or cancel.
  }
  return 0;
}

LRESULT CCertificateDBClientCOMDlg::OnCancel(WORD, WORD, HWND, BOOL&) {
  EndDialog(IDCANCEL);
  return 0;
}
