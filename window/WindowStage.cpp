#include "update/F_Main.h"

namespace quennel {

void F_Main::WindowStage() {
  platform_.SetPointer(kPointerBusy);
  E[0].SetText("Installation de la nouvelle version de " + DestPath);
  E[1].SetText("(Copie de " + SourcePath + " dans " + DestPath + ")");
  platform_.ShowProgressWindow();
}

}  // namespace quennel
