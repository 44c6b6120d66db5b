/*
 * KorvaneI2C.h - C interface of the Korvane Ethernet-to-I2C gateway client library.
 *
 * Every function returns a 32-bit result code (0 = success) unless its comment says
 * otherwise; I2CErrorMessage turns a code into an English text. One TCP connection to the
 * gateway stands behind every device handle. Any thread may call any function.
 *
 * Buffers and out-arguments belong to the caller and are written only during the call;
 * out-arguments are written only when the call succeeds unless stated otherwise, and an
 * out-argument documented as optional may be NULL.
 */
#ifndef KORVANE_I2C_H
#define KORVANE_I2C_H

/* KORVANE_CALL names the calling convention of every export: callee-cleans (stdcall) for
 * the Visual Basic 6 build (define KORVANE_VB6), the platform's C convention otherwise. */
#if defined(_WIN32) && defined(KORVANE_VB6)
#define KORVANE_CALL __stdcall
#else
#define KORVANE_CALL
#endif

/* KORVANE_API marks an exported function. Windows builds take names and ordinals from
 * their .def file; elsewhere the library is built with hidden visibility. */
#if defined(KORVANE_BUILDING_LIBRARY) && !defined(_WIN32)
#define KORVANE_API __attribute__((visibility("default")))
#else
#define KORVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. Device codes carry the device kind (1 for I2C) in bits 8-15 and the
 * gateway's reply status in bits 0-7, for example KORVANE_I2C_NACK. */
#define KORVANE_OK                   0x0
#define KORVANE_CONNECTION_REFUSED   0x1      /* gateway has no free connection */
#define KORVANE_EEPROM_FAILED        0x2
#define KORVANE_COMMAND_FAILED       0xFF
#define KORVANE_SOCKET_ERROR         0x20000
#define KORVANE_NOT_CONNECTED        0x30000
#define KORVANE_TIMEOUT              0x40000
#define KORVANE_NOT_ALLOWED_NOW      0x50000
#define KORVANE_NOT_INITIALIZED      0x60000
#define KORVANE_BAD_CHECKSUM         0xA0000
#define KORVANE_NOT_CONFIRMED        0xB0000
#define KORVANE_BAD_CONFIRMATION     0xC0000  /* | device kind << 8: 0xC0100 for I2C */
#define KORVANE_INVALID_HANDLE       0x900000
#define KORVANE_INVALID_DEVICE_TYPE  0x910000
#define KORVANE_INVALID_PARAMETER    0x920000
#define KORVANE_I2C_NACK             0x120
#define KORVANE_I2C_BUS_TIMEOUT      0x121
#define KORVANE_I2C_POLL_TIMEOUT     0x125

/* Size of the record DeviceInfo fills. */
#define KORVANE_DEVICE_INFO_SIZE 20

/**
 * Copies the library's version text into buffer (at most length bytes including the NUL).
 * @return characters written including the NUL; 0 for a NULL buffer or length <= 0.
 */
KORVANE_API int KORVANE_CALL DLLInfo(char *buffer, int length);

/**
 * Fills the 20-byte device information record. The record is cleared first; byte 18 is
 * preset to the device kind (1); on success the gateway's information bytes follow.
 * @return result code; KORVANE_INVALID_PARAMETER for a NULL record.
 */
KORVANE_API int KORVANE_CALL DeviceInfo(int handle, unsigned char *record);

/**
 * Fetches the gateway's status text into buffer (size bytes including the NUL).
 * @return length of the text delivered + 1; 0 for a NULL buffer or size <= 0; 1 for an
 *         invalid handle (buffer untouched) or a failed request (buffer zeroed).
 */
KORVANE_API int KORVANE_CALL DeviceStatus(int handle, char *buffer, int size);

/**
 * Opens a device on port 5000 of host (name or numeric IPv4/IPv6 address), connects,
 * and configures the bus bit rate (100 and 400 mean kHz). timeout_ms serves every wait of
 * the device. On success *handle receives the new handle; on failure -1.
 */
KORVANE_API int KORVANE_CALL I2COpenDevice(int *handle, int bitrate, const char *host, int timeout_ms);

/**
 * As I2COpenDevice, on port 5000 + 100 * port_index. Only the low byte of port_index
 * counts; above 99 the result is KORVANE_INVALID_PARAMETER and *handle is not touched.
 */
KORVANE_API int KORVANE_CALL I2COpenDeviceEx(int *handle, int bitrate, int port_index, const char *host,
                                             int timeout_ms);

/** Disconnects from the gateway and releases the handle. */
KORVANE_API int KORVANE_CALL I2CCloseDevice(int handle);

/**
 * Writes length bytes from buffer to the slave. On success the optional *reply_value
 * receives the gateway's 16-bit reply value.
 */
KORVANE_API int KORVANE_CALL I2CWrite(int handle, int slave_address, const unsigned char *buffer, int length,
                                      int *reply_value);

/**
 * Reads up to length bytes from the slave into buffer, which must hold length bytes.
 * Data that a failing reply carries is still copied.
 */
KORVANE_API int KORVANE_CALL I2CRead(int handle, int slave_address, unsigned char *buffer, int length);

/**
 * Reads length bytes of a serial EEPROM from offset into buffer. chip_select is the state
 * of the address pins; mode bits 0-7 give the offset bits carried in address bytes (0 means
 * 0x000F: 15 bits in two bytes), bits 8-10 how chip select and high offset bits enter the
 * device address.
 */
KORVANE_API int KORVANE_CALL I2CReadEEProm(int handle, unsigned int chip_select, unsigned int offset,
                                           unsigned char *buffer, int length, int mode);

/** Writes length bytes to a serial EEPROM at offset; arguments as I2CReadEEProm. */
KORVANE_API int KORVANE_CALL I2CWriteEEProm(int handle, unsigned int chip_select, unsigned int offset,
                                            const unsigned char *buffer, int length, int mode);

/** As I2CWriteEEProm; the gateway then polls for the acknowledge up to poll_limit. */
KORVANE_API int KORVANE_CALL I2CWriteEEPromPollAck(int handle, unsigned int chip_select, unsigned int offset,
                                                   const unsigned char *buffer, int length, int mode,
                                                   int poll_limit);

/** Resets the I2C bus of the gateway. */
KORVANE_API int KORVANE_CALL I2CReset(int handle);

/**
 * Reads the gateway's digital lines as two 32-bit values; each pointer is optional.
 * Values that a failing reply carries are still stored.
 */
KORVANE_API int KORVANE_CALL I2CReadDigital(int handle, int *first_value, int *second_value);

/** Sets the gateway's digital lines to value. */
KORVANE_API int KORVANE_CALL I2CWriteDigital(int handle, int value);

/**
 * Runs a caller-built command sequence. Result bytes go to result (at most result_size);
 * on success the optional *result_count receives their number and the optional
 * *reply_value the gateway's 16-bit reply value.
 */
KORVANE_API int KORVANE_CALL I2CSequence(int handle, const unsigned char *sequence, int sequence_length,
                                         unsigned char *result, int result_size, int *result_count,
                                         int *reply_value);

/** Raw bus control: a start condition. */
KORVANE_API int KORVANE_CALL I2CRAWStart(int handle);

/** Raw bus control: sends the low bytes of first_value and second_value to the gateway. */
KORVANE_API int KORVANE_CALL I2CRAWSend(int handle, int first_value, int second_value);

/** Raw bus control: fetches one byte; on success *byte_out receives it (optional). */
KORVANE_API int KORVANE_CALL I2CRAWGet(int handle, int value, char *byte_out);

/** Raw bus control: a stop condition. */
KORVANE_API int KORVANE_CALL I2CRAWStop(int handle);

/**
 * Copies the English text of a result code into buffer (at most length bytes including
 * the NUL). Unknown codes give "Unknown error code: " and the number.
 * @return characters written including the NUL; 0 for a NULL buffer or length <= 0.
 */
KORVANE_API int KORVANE_CALL I2CErrorMessage(int code, char *buffer, int length);

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_I2C_H */
