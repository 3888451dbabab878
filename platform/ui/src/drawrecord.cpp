// The per-thread record of drawing calls (platform/drawrecord.h).
#include "platform/drawrecord.h"

#include "internal.h"

namespace ui {
namespace {
thread_local bool tRecording = false;
thread_local std::vector<PlatformDrawOp> tOps;
}  // namespace

bool drawRecording() { return tRecording; }

void recordDraw(PlatformDrawOp op) {
  if (tRecording) tOps.push_back(std::move(op));
}

DrawRecordPause::DrawRecordPause() : was(tRecording) { tRecording = false; }
DrawRecordPause::~DrawRecordPause() { tRecording = was; }
}  // namespace ui

PLATFORM_CXX_API void PlatformStartDrawRecord() {
  ui::tOps.clear();
  ui::tRecording = true;
}

PLATFORM_CXX_API bool PlatformDrawRecording() { return ui::tRecording; }

PLATFORM_CXX_API std::vector<PlatformDrawOp> PlatformTakeDrawRecord() {
  ui::tRecording = false;
  std::vector<PlatformDrawOp> out;
  out.swap(ui::tOps);
  return out;
}
