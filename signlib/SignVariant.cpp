#include "signlib/SignVariant.h"

const SignVariant& SignVariant::certificateControl() {
  static const SignVariant v{true, KeySearch::LoginThenModulus, true, true, true, 256, false};
  return v;
}

const SignVariant& SignVariant::signatureControl() {
  static const SignVariant v{false, KeySearch::IdWithLogin, false, false, false, 128, true};
  return v;
}
