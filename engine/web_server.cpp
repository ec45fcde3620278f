// Placeholder until the web server lands.
#include "palvex.h"

extern "C" {
palvex_WebserverHandle palvex_Webserver(int, int, palvex_Process) { return PALVEX_NO_WEBSERVER; }
palvex_WebserverHandle palvex_Webserver_tcp2(int, int, const char*, int, palvex_Parameters) {
  return PALVEX_NO_WEBSERVER;
}
int palvex_Webserver_Status(palvex_WebserverHandle) { return 0; }
int palvex_Webserver_Stop(palvex_WebserverHandle, int) { return 1; }
}
