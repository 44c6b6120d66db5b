/* Opens a gateway, reads 16 bytes of the EEPROM at chip select 0, prints them, closes. */
#include <stdio.h>
#include <stdlib.h>

#include "KorvaneI2C.h"

int main(int argc, char **argv) {
  const char *host = argc > 1 ? argv[1] : "127.0.0.1";
  int port_index = argc > 2 ? atoi(argv[2]) : 0;
  char text[128];
  int handle, rc, i;
  unsigned char data[16];

  DLLInfo(text, sizeof text);
  printf("%s\n", text);

  /* 400 means 400 kbit/s; every wait of this device lasts at most 1000 ms. */
  rc = I2COpenDeviceEx(&handle, 400, port_index, host, 1000);
  if (rc != KORVANE_OK) {
    I2CErrorMessage(rc, text, sizeof text);
    fprintf(stderr, "open: error 0x%X: %s\n", rc, text);
    return 1;
  }
  /* Chip select 0, offset 0, mode 0 (15 offset bits in two address bytes). */
  rc = I2CReadEEProm(handle, 0, 0x0000, data, sizeof data, 0);
  if (rc == KORVANE_OK) {
    for (i = 0; i < (int)sizeof data; ++i) printf("%02X ", data[i]);
    printf("\n");
  } else {
    I2CErrorMessage(rc, text, sizeof text);
    fprintf(stderr, "read: error 0x%X: %s\n", rc, text);
  }
  I2CCloseDevice(handle);
  return rc == KORVANE_OK ? 0 : 1;
}
