// CFetchMAC: the network-address control. A bank page on an allowed host
// reads the machine's adapters as one line of text: per adapter its hardware
// address, a colon and its IPv4 addresses; adapters joined by "_".
//
// Registered for both threading models: page script may call one object from
// several threads, and several objects at once. Each object's fields are its
// own; the codes are atomics and the message is written under the object's
// lock, which is never held across the enumeration or the host check.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "AdapterInfo.h"
#include "pellmar_h.h"
#include "platform/comserver.h"

class CFetchMAC
    : public CComObjectRootEx<CComMultiThreadModel>,
      public CComCoClass<CFetchMAC, &CLSID_FetchMAC>,
      public IOleObjectImpl<CFetchMAC>,
      public IOleControlImpl<CFetchMAC>,
      public IOleInPlaceActiveObjectImpl<CFetchMAC>,
      public IDispatchImpl<IFetchMAC, &IID_IFetchMAC, &LIBID_PellmarLib, 1, 0>,
      public IOleInPlaceObjectWindowlessImpl<CFetchMAC>,
      public CComControlBase,
      public IObjectSafetyImpl<CFetchMAC, INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA> {
 public:
  CFetchMAC() = default;
  CFetchMAC(const CFetchMAC&) = delete;
  CFetchMAC& operator=(const CFetchMAC&) = delete;

  DECLARE_REGISTRY_RESOURCEID(103)

  BEGIN_COM_MAP(CFetchMAC)
  COM_INTERFACE_ENTRY(IFetchMAC)
  COM_INTERFACE_ENTRY(IDispatch)
  COM_INTERFACE_ENTRY(IOleObject)
  COM_INTERFACE_ENTRY(IOleControl)
  COM_INTERFACE_ENTRY(IOleInPlaceActiveObject)
  COM_INTERFACE_ENTRY(IOleInPlaceObjectWindowless)
  COM_INTERFACE_ENTRY(IOleInPlaceObject)
  COM_INTERFACE_ENTRY2(IOleWindow, IOleInPlaceObjectWindowless)
  COM_INTERFACE_ENTRY(IObjectSafety)
  END_COM_MAP()

  // ---- IFetchMAC ----
  HRESULT getIP_MAC(BSTR* pVal) override;
  HRESULT get_LastErrorCode(LONG* pVal) override;
  HRESULT get_VERSION(BSTR* pVal) override;

  // Builds the adapter line into the caller's 1024-byte buffer (zeroed; at
  // most 1023 bytes are written). 0, or the enumeration's error number.
  int ToGetIP_MAC(char* buffer);

  // The client site is set once by the container, before script runs.
  HRESULT IOleObject_SetClientSite(IOleClientSite* site);

 private:
  void setMessage(const char* text);
  // 0 when the page may use the control, else 61.
  int checkHostPage();

  std::atomic<LONG> LastErrorCode{0};
  std::mutex m_messageLock;
  char m_message[512] = {};  // the last failure's message; not readable through the interface
  std::atomic<LONG> hostCheckResult{0};
  std::mutex m_siteLock;
};
