/* A program as an application would write it against the installed library: it is built
 * once through pkg-config and once through find_package, then run against the gateway
 * simulator. Arguments: host, port index. Exit status 0 only when every step behaved. */
#include <KorvaneI2C.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        failures++;
}

static void check_code(int code, int expected, const char *what)
{
    char text[128];
    I2CErrorMessage(code, text, (int)sizeof text);
    printf("%s: %s -> 0x%X (%s)\n", code == expected ? "ok" : "FAILED", what, (unsigned)code, text);
    if (code != expected)
        failures++;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s HOST PORT_INDEX\n", argv[0]);
        return 2;
    }
    const char *host = argv[1];
    int port_index = atoi(argv[2]);

    char version[64];
    int n = DLLInfo(version, (int)sizeof version);
    check(n == 26 && strcmp(version, "Korvane I2C DLL V1.8-2.18") == 0, version);

    int handle = -1;
    int rc = I2COpenDeviceEx(&handle, 100, port_index, host, 2000);
    check_code(rc, KORVANE_OK, "open");
    if (rc != KORVANE_OK)
        return 1;

    /* EEPROM at 7-bit 0x50: chip select 0, default addressing (two address bytes). The
     * gateway polls for the end of the write cycle, so the read can follow at once. */
    const unsigned char pattern[8] = {0xC0, 0xFF, 0xEE, 0x00, 0x12, 0x34, 0x56, 0x78};
    check_code(I2CWriteEEPromPollAck(handle, 0, 0x0120, pattern, (int)sizeof pattern, 0, 100), KORVANE_OK,
               "eeprom write with acknowledge polling");
    unsigned char back[8] = {0};
    check_code(I2CReadEEProm(handle, 0, 0x0120, back, (int)sizeof back, 0), KORVANE_OK, "eeprom read");
    check(memcmp(back, pattern, sizeof pattern) == 0, "eeprom read returns the written bytes");

    unsigned char info[KORVANE_DEVICE_INFO_SIZE];
    check_code(DeviceInfo(handle, info), KORVANE_OK, "device info");

    check_code(I2CCloseDevice(handle), KORVANE_OK, "close");
    check_code(I2CReset(handle), KORVANE_INVALID_HANDLE, "call on the closed handle");

    printf("%s\n", failures ? "consumer FAILED" : "consumer passed");
    return failures ? 1 : 0;
}
