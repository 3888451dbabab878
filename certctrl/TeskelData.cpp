// Data, envelope, settings and log members: the data to sign, the signed
// envelope as text or file, the signing settings and the control's log. The
// steps are the signing controls' shared ones, with the thread's ANSI code
// page for the envelope and no result line without a result.
#include "TeskelCtrl.h"

CTRLKIT_SIGNING_DATA_MEMBERS(CTeskelCtrl, VARIANT_BOOL)
