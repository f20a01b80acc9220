// The reader control codes of the PC/SC part 10 interface that the Windows SDK does not define
// (pcsc-lite ships them in its reader.h): the feature list request and the feature tags used here.
#pragma once

#include <windows.h>
#include <winsmcrd.h>

#ifndef CM_IOCTL_GET_FEATURE_REQUEST
#define CM_IOCTL_GET_FEATURE_REQUEST SCARD_CTL_CODE(3400)
#endif
// Windows' form: CTL_CODE(FILE_DEVICE_SMARTCARD, 3400, METHOD_BUFFERED, FILE_ANY_ACCESS); pcsc-lite's
// value of the same request (0x42000D48) would reach no Windows reader driver.
static_assert(CM_IOCTL_GET_FEATURE_REQUEST == 0x00313520, "the feature request's Windows control code");
#ifndef FEATURE_VERIFY_PIN_DIRECT
#define FEATURE_VERIFY_PIN_START 0x01
#define FEATURE_VERIFY_PIN_FINISH 0x02
#define FEATURE_MODIFY_PIN_START 0x03
#define FEATURE_MODIFY_PIN_FINISH 0x04
#define FEATURE_GET_KEY_PRESSED 0x05
#define FEATURE_VERIFY_PIN_DIRECT 0x06
#define FEATURE_MODIFY_PIN_DIRECT 0x07
#endif
