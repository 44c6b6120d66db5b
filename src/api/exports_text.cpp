// The two exports that need no device: version text and result texts.
#include "KorvaneI2C.h"
#include "api/result_text.h"
#include "version.h"

#include <cstring>

using korvane::CopyTextOut;

extern "C" KORVANE_API int KORVANE_CALL DLLInfo(char* buffer, int length) {
  static const char kVersion[] = KORVANE_VERSION_TEXT;
  return CopyTextOut(kVersion, sizeof(kVersion) - 1, buffer, length);
}

extern "C" KORVANE_API int KORVANE_CALL I2CErrorMessage(int code, char* buffer, int length) {
  if (buffer == nullptr || length <= 0) return 0;
  const std::string text = korvane::ResultText(code);
  return CopyTextOut(text.data(), text.size(), buffer, length);
}
