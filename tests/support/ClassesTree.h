// The registry under HKEY_CLASSES_ROOT as registration tests compare it, and
// the keys a control's registration writes.
#pragma once

#include <set>
#include <string>

#include "platform/com.h"

namespace testsupport {

std::u16string guidText(REFGUID g);

// Every key and value under HKEY_CLASSES_ROOT: "key" for a key,
// "key|name=value" for a value (REG_SZ text; other types by their type).
std::set<std::string> classesTree();

// Creates the key `path` under HKEY_CLASSES_ROOT (a test's failure if not).
void createClassesKey(const char16_t* path);

// What is in `after` and not in `before`.
std::set<std::string> addedKeys(const std::set<std::string>& before, const std::set<std::string>& after);

// What a control's registration writes: its AppID, the version-independent
// and versioned ProgIDs, the class with its control keys, the type library
// and its interface for the automation marshaller.
struct ControlRegistration {
  std::string module;           // "Teskel": AppID\Teskel.DLL, the AppID's name
  std::string appid;            // "{...}"
  std::string progId;           // "Teskel.TeskelCtrl"
  std::string versionedProgId;  // "Teskel.TeskelCtrl.1"
  std::string className;        // "TeskelCtrl Class"
  GUID clsid;
  GUID libid;
  GUID iid;
  std::string interfaceName;  // "ITeskelCtrl"
  std::string typeLibName;    // "Teskel 1.0 Type Library"
  std::string bitmap;         // the toolbox bitmap's resource number, "117"
  std::string path;           // the library's file
};
std::set<std::string> controlKeys(const ControlRegistration& control);

}  // namespace testsupport
