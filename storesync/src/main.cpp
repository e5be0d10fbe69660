// Kestrelink.exe entry point.
#include "kestrelink.h"

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR, int) {
  KestrelinkSetInstance(inst);
  if (card_table_open("Kestrelink") != VORN_OK) return 1;
  CKROSCERTApp app;
  app.instance_ = inst;
  if (!app.InitInstance()) return 0;
  return app.Run();
}
