// libudev, opened on the first udev call (see lazy_library.h). Without the library udev_new answers
// null (the inventory then reports its error) and the other calls answer null or an error.
#include <cerrno>
#include <libudev.h>

#include "lazy_library.h"

namespace {
constexpr const char* LIBUDEV = "libudev.so.1";
}

VELDRA_LAZY_FORWARD(LIBUDEV, struct udev*, udev_new, (void), (), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, struct udev*, udev_unref, (struct udev * u), (u), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, struct udev_enumerate*, udev_enumerate_new, (struct udev * u), (u), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, struct udev_enumerate*, udev_enumerate_unref, (struct udev_enumerate * e), (e), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, int, udev_enumerate_add_match_subsystem, (struct udev_enumerate * e, const char* s),
                    (e, s), -ENOSYS)
VELDRA_LAZY_FORWARD(LIBUDEV, int, udev_enumerate_add_match_parent, (struct udev_enumerate * e, struct udev_device* d),
                    (e, d), -ENOSYS)
VELDRA_LAZY_FORWARD(LIBUDEV, int, udev_enumerate_scan_devices, (struct udev_enumerate * e), (e), -ENOSYS)
VELDRA_LAZY_FORWARD(LIBUDEV, struct udev_list_entry*, udev_enumerate_get_list_entry, (struct udev_enumerate * e), (e),
                    nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, struct udev_list_entry*, udev_list_entry_get_next, (struct udev_list_entry * l), (l),
                    nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, const char*, udev_list_entry_get_name, (struct udev_list_entry * l), (l), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, struct udev_device*, udev_device_new_from_syspath, (struct udev * u, const char* p),
                    (u, p), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, struct udev_device*, udev_device_unref, (struct udev_device * d), (d), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, struct udev_device*, udev_device_get_parent_with_subsystem_devtype,
                    (struct udev_device * d, const char* s, const char* t), (d, s, t), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, const char*, udev_device_get_syspath, (struct udev_device * d), (d), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, const char*, udev_device_get_devnode, (struct udev_device * d), (d), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, const char*, udev_device_get_property_value, (struct udev_device * d, const char* k),
                    (d, k), nullptr)
VELDRA_LAZY_FORWARD(LIBUDEV, dev_t, udev_device_get_devnum, (struct udev_device * d), (d), 0)
VELDRA_LAZY_FORWARD(LIBUDEV, const char*, udev_device_get_sysattr_value, (struct udev_device * d, const char* a),
                    (d, a), nullptr)
