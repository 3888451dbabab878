#include "signlib/SignVariant.h"

const SignVariant& SignVariant::certificateControl() {
  static const SignVariant v{true, KeySearch::LoginThenModulus, true, true, true, 256, false, false};
  return v;
}

const SignVariant& SignVariant::signatureControl() {
  static const SignVariant v{false, KeySearch::IdWithLogin, false, false, false, 128, true, true};
  return v;
}
