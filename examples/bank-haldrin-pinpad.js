// The PIN pad of the signature control at http://localhost/: one of its two
// layouts, drawn at random. scripts/demo has the scripted user cancel it
// after the screenshot; the page reports the cancel.
var ctl = new ActiveXObject("Haldrin.HaldrinSignat");
ctl.setLanguage("en");
var pin = ctl.CallGRD("Token PIN", 8);
print("CallGRD: " + (pin ? "a PIN" : "no PIN") + ", LastErrorCode " + ctl.LastErrorCode + " (" +
      ctl.LastErrorStr + ")");
