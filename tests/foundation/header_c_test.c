/* The public header is valid C99 and the two device-free exports work from C. */
#include <stdio.h>
#include <string.h>

#include "KorvaneI2C.h"

int main(void) {
  char text[64];
  int n = DLLInfo(text, (int)sizeof text);
  if (n != 26 || strcmp(text, "Korvane I2C DLL V1.8-2.18") != 0) {
    fprintf(stderr, "DLLInfo gave %d '%s'\n", n, text);
    return 1;
  }
  n = I2CErrorMessage(KORVANE_I2C_NACK, text, (int)sizeof text);
  if (strcmp(text, "I2C NACK (No Acknowledge)") != 0 || n != (int)strlen(text) + 1) {
    fprintf(stderr, "I2CErrorMessage gave %d '%s'\n", n, text);
    return 1;
  }
  return 0;
}
