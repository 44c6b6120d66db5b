/* A C host linked the ordinary way, against the import library of the build. It refers to
 * every export, so the link proves that the import library names all 20 for this build's
 * calling convention, and the run proves that each import resolves in the DLL. */
#include <stdio.h>
#include <string.h>

#include "KorvaneI2C.h"

static int failures;

static void expect(int got, int expected, const char *what)
{
    if (got != expected) {
        printf("%s returned 0x%X, expected 0x%X\n", what, (unsigned)got, (unsigned)expected);
        failures++;
    }
}

int main(void)
{
    char text[64];
    unsigned char buf[KORVANE_DEVICE_INFO_SIZE];
    int a = 0, b = 0, h = 77;
    char c = 0;
    const int bad = -1;

    expect(DLLInfo(text, (int)sizeof text), 26, "DLLInfo");
    expect(strcmp(text, "Korvane I2C DLL V1.8-2.18"), 0, "version text");
    expect(I2CErrorMessage(KORVANE_I2C_NACK, text, (int)sizeof text), 26, "I2CErrorMessage");
    expect(I2COpenDeviceEx(&h, 100, 100, "127.0.0.1", 100), KORVANE_INVALID_PARAMETER, "I2COpenDeviceEx");
    expect(h, 77, "handle after a refused open");
    expect(I2COpenDevice(&h, 100, NULL, 100) != KORVANE_OK, 1, "I2COpenDevice without a host");
    expect(I2CCloseDevice(bad), KORVANE_INVALID_HANDLE, "I2CCloseDevice");
    expect(DeviceInfo(bad, buf), KORVANE_INVALID_HANDLE, "DeviceInfo");
    expect(DeviceStatus(bad, text, (int)sizeof text), 1, "DeviceStatus");
    expect(I2CWrite(bad, 0x90, buf, 1, &a), KORVANE_INVALID_HANDLE, "I2CWrite");
    expect(I2CRead(bad, 0x90, buf, 1), KORVANE_INVALID_HANDLE, "I2CRead");
    expect(I2CReadEEProm(bad, 0, 0, buf, 1, 0), KORVANE_INVALID_HANDLE, "I2CReadEEProm");
    expect(I2CWriteEEProm(bad, 0, 0, buf, 1, 0), KORVANE_INVALID_HANDLE, "I2CWriteEEProm");
    expect(I2CWriteEEPromPollAck(bad, 0, 0, buf, 1, 0, 10), KORVANE_INVALID_HANDLE, "I2CWriteEEPromPollAck");
    expect(I2CReset(bad), KORVANE_INVALID_HANDLE, "I2CReset");
    expect(I2CReadDigital(bad, &a, &b), KORVANE_INVALID_HANDLE, "I2CReadDigital");
    expect(I2CWriteDigital(bad, 1), KORVANE_INVALID_HANDLE, "I2CWriteDigital");
    expect(I2CSequence(bad, buf, 1, buf, 4, &a, &b), KORVANE_INVALID_HANDLE, "I2CSequence");
    expect(I2CRAWStart(bad), KORVANE_INVALID_HANDLE, "I2CRAWStart");
    expect(I2CRAWSend(bad, 0x90, 1), KORVANE_INVALID_HANDLE, "I2CRAWSend");
    expect(I2CRAWGet(bad, 1, &c), KORVANE_INVALID_HANDLE, "I2CRAWGet");
    expect(I2CRAWStop(bad), KORVANE_INVALID_HANDLE, "I2CRAWStop");
    printf("import library host: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
