#include "update/F_Main.h"

namespace quennel {

void F_Main::WindowStage() {
  platform_.screen.SetPointer(PointerShape::Busy);
  E[0].SetText(texts::kInstalling + DestPath);
  E[1].SetText(texts::kCopying + SourcePath + texts::kCopyingInto + DestPath + texts::kCopyingEnd);
  platform_.screen.ShowProgressWindow();
}

}  // namespace quennel
