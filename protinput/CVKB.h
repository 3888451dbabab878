// The session object behind every keypad and the text-as-picture dialog. Each
// on-screen key column is bound, for the life of one dialog, to an opaque
// label: the column's characters in every layout, enciphered with two-key
// triple DES under a fresh session key. The dialog collects labels only; the
// text is decoded from them when needed, and goes to the bank enciphered
// under the session key, the key wrapped with the bank's RSA public key
// (ProtectionCipherText).
//
// Calling order: construct, set layoutCount, makeSessionKey, buildLayouts;
// then getKeyChar, getKeyLabel, findColumn and labelsToText as often as
// needed; at the end encryptText and wrapSessionKey (or ProtectionCipherText).
// Texts are 8-bit, in the thread's ANSI code page.
#pragma once

#include <string>
#include <string_view>

class CVKB {
 public:
  static constexpr int kColumns = 11;
  static constexpr int kMaxLayouts = 8;

  CVKB();
  // Wipes the session key, spare bytes, layouts, labels and active row.
  virtual ~CVKB();
  CVKB(const CVKB&) = delete;
  CVKB& operator=(const CVKB&) = delete;

  // Number of layouts for the next buildLayouts: 4 after construction; values
  // outside 4..8 build 4.
  int layoutCount = 4;

  // 8 draws of RandomByte for the spare bytes, then 16 for the key. 0, or -1
  // when the random source fails (nothing of the key is kept then).
  int makeSessionKey();
  // The active layout, the layouts and the labels of all 11 columns, drawn in
  // that order. 0, or -1 when the random source fails (no layout is kept).
  int buildLayouts();

  // The label of column 0..10 (upper-case hexadecimal). 0, or -1 for a column
  // outside 0..10 or before buildLayouts (label unchanged then).
  int getKeyLabel(int column, std::string& label) const;
  // The character of column 0..10 in the active layout; 0 for any other column
  // or before buildLayouts.
  char getKeyChar(int column) const;
  // The column 0..10 showing c (the later one if it were shown twice), -1 if none.
  int findColumn(char c) const;

  // Decodes a labels string into the text it stands for. 0 with the text in
  // text; -2 (text unchanged) when labels is not an even number of hexadecimal
  // digits or a label does not decipher to a padded block of this dialog's
  // layouts. A tail shorter than one label is ignored.
  int labelsToText(std::string_view labels, std::string& text) const;
  // Base64 of the triple-DES encryption of text with PKCS#5 padding. 0.
  int encryptText(std::string_view text, std::string& out) const;
  // Base64 of the session key encrypted with RSA PKCS#1 v1.5 under the page's
  // public key (one line of Base64 of a DER SubjectPublicKeyInfo of an RSA
  // key). 0, or -1 (out unchanged) when the key cannot be used or the
  // encryption fails.
  // A key that cannot protect the session key (see usablePublicKey) is no
  // key either: the same check as usablePublicKey.
  int wrapSessionKey(std::string_view publicKeyBase64, std::string& out) const;

  // Whether the session key can be wrapped under this key: one line of
  // Base64 of a DER SubjectPublicKeyInfo of an RSA key with a modulus of 512
  // to 16384 bits that OpenSSL's public-key check accepts and under which a
  // trial block of 16 bytes is wrapped as the session key would be (OpenSSL
  // refuses, say, an exponent of more than 64 bits on a modulus of more than
  // 3072 bits). The check is costly for large keys (a tenth of a second at
  // 8192 bits); the last key it accepted is remembered and not checked again.
  static bool usablePublicKey(std::string_view publicKeyBase64);

  // The layout count the last buildLayouts used (0 before).
  int builtLayoutCount() const { return builtCount_; }
  // The index of the layout the keys show.
  int activeLayout() const { return activeLayout_; }
  // Row j (0..builtLayoutCount()-1), column k of the layouts; 0 outside.
  char layoutChar(int layout, int column) const;

 private:
  void wipe();

  unsigned char layouts_[kMaxLayouts][kColumns];
  int activeLayout_ = 0;
  unsigned char sessionKey_[16];
  unsigned char spareBytes_[8];
  std::string labels_[kColumns];
  unsigned char activeRow_[kColumns];
  int builtCount_ = 0;
};

// The text handed to the page: Base64 of the enciphered text, "|", Base64 of
// the wrapped session key; empty when the public key cannot be used or
// the wrap fails.
std::string ProtectionCipherText(const CVKB& keypad, std::string_view plainText, std::string_view publicKeyBase64);

// A failing RSA encryption on demand, the way a test replaces the random
// source: every wrap (a new key's trial wrap and the session key's) asks the
// fault in place first and fails, as OpenSSL short of memory would, when it
// says so. Without one (the default) OpenSSL alone decides.
class WrapFault {
 public:
  virtual ~WrapFault() = default;
  // True: this wrap fails and writes nothing.
  virtual bool fails() = 0;
};

// Wraps that pass until `passing` have gone through, then fail; `calls`
// counts every wrap asked.
class WrapsFailingAfter : public WrapFault {
 public:
  explicit WrapsFailingAfter(int passing) : passing_(passing) {}
  bool fails() override { return ++calls > passing_; }
  int calls = 0;

 private:
  int passing_;
};

// Puts fault in place for every thread (null: none) and returns the one that
// was in place.
WrapFault* SetWrapFault(WrapFault* fault);

// Puts a fault in place for one scope.
class ScopedWrapFault {
 public:
  explicit ScopedWrapFault(WrapFault* fault) : previous_(SetWrapFault(fault)) {}
  ~ScopedWrapFault() { SetWrapFault(previous_); }
  ScopedWrapFault(const ScopedWrapFault&) = delete;
  ScopedWrapFault& operator=(const ScopedWrapFault&) = delete;

 private:
  WrapFault* previous_;
};
