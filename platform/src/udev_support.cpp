#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "udev_backend.h"

namespace platform::devices::udev {

Context newContext() { return Context(udev_new()); }

Device deviceAt(::udev* context, const std::string& syspath) {
  if (context == nullptr) return Device();
  return Device(udev_device_new_from_syspath(context, syspath.c_str()));
}

bool isA(udev_device* device, const char* subsystem, const char* devtype) {
  if (device == nullptr) return false;
  const char* actualSubsystem = udev_device_get_subsystem(device);
  const char* actualDevtype = udev_device_get_devtype(device);
  if (actualSubsystem == nullptr || std::strcmp(actualSubsystem, subsystem) != 0) return false;
  return devtype == nullptr || (actualDevtype != nullptr && std::strcmp(actualDevtype, devtype) == 0);
}

std::string textOf(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

std::optional<std::string> attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<unsigned long> numberAttribute(udev_device* device, const char* name, int base) {
  const std::optional<std::string> value = attribute(device, name);
  if (!value || value->empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long number = std::strtoul(value->c_str(), &end, base);
  if (errno != 0 || end == value->c_str() || *end != '\0' || value->front() == '-') return std::nullopt;
  return number;
}

std::vector<std::string> devicesOf(::udev* context, const char* subsystem, const char* devtype, udev_device* parent) {
  std::vector<std::string> syspaths;
  if (context == nullptr) return syspaths;
  const Enumerate enumerate(udev_enumerate_new(context));
  if (!enumerate) return syspaths;
  udev_enumerate_add_match_subsystem(enumerate.get(), subsystem);
  if (parent != nullptr) udev_enumerate_add_match_parent(enumerate.get(), parent);
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return syspaths;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    const Device device = deviceAt(context, udev_list_entry_get_name(entry));
    if (isA(device.get(), subsystem, devtype)) syspaths.emplace_back(udev_device_get_syspath(device.get()));
  }
  return syspaths;
}

std::optional<std::vector<std::uint8_t>> readFileBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  ::close(fd);
  return bytes;
}

std::optional<std::string> readFileText(const std::string& path) {
  const std::optional<std::vector<std::uint8_t>> bytes = readFileBytes(path);
  if (!bytes) return std::nullopt;
  std::string text(bytes->begin(), bytes->end());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::uint32_t packedDeviceNumber(dev_t number) {
  return (static_cast<std::uint32_t>(major(number)) << 20) | (static_cast<std::uint32_t>(minor(number)) & 0xfffffu);
}

}  // namespace platform::devices::udev
