// The application icon: embedded base64 images, the decoder and the temporary PNG file.
#pragma once

#include <string>

extern const char icon_png_base64[];  // 128 x 128 RGBA PNG, base64 in 76-character lines
extern const char icon_ico_base64[];  // 24 x 24 32-bit ICO, base64, never decoded here

// The icon file's path once the whole PNG was written; empty otherwise.
extern std::string icon_path;

// RFC 4648 alphabet; skips LF, CR and space; any other foreign byte ("=", tab, ...) ends it.
std::string base64_decode(const std::string& text);
// Writes the PNG to /tmp/pngXXXXXX and registers remove_icon_file; silent on failure.
void write_icon_file();
// Exit handler: removes the icon file, ignoring any error.
void remove_icon_file();
