#pragma once
// A fake USB device tree in a umockdev test bed, built from a small
// description: host controllers with their root hubs (an xHCI controller has a
// USB 2 and a USB 3 root hub whose ports are peers), hubs and devices on
// ports, USB disks behind devices with their SCSI generic nodes, and disks on
// SATA. Shaped as the kernel shapes sysfs, so that libudev reads it as a real
// tree. Needs the umockdev preload (run under umockdev-wrapper).
//
// Names follow the kernel's: the root hubs get bus numbers 1, 2, ... in the
// order of the description (a controller's USB 2 root hub first); a device on
// port p of root hub usbB is "B-p", on port q of hub "B-p" it is "B-p.q".

#include <umockdev.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace platform::devices::umockdev_tree {

// A port whose sysfs attributes differ from those of a plain hot-plug port.
struct FakePort {
  int number = 0;
  int overCurrentCount = 0;
  std::string connectType = "hotplug";
};

struct FakeDisk {
  std::string name;                    // "sdb"
  unsigned minor = 0;                  // block major 8
  std::optional<unsigned> sg{};        // its SCSI generic node /dev/sgN
  std::string driver = "usb-storage";  // or "uas"; empty: no driver has the interface
  unsigned partitions = 0;             // <name>1.. at minor + 1..
};

struct FakeUsbDevice {
  int port = 0;  // on the parent hub
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serial{};  // each string has no descriptor when empty
  std::string manufacturer{};
  std::string product{};
  int hubPorts = 0;                       // a hub with that many ports when above 0
  std::vector<FakeUsbDevice> children{};  // on the hub's ports
  std::vector<FakePort> portStates{};
  std::optional<FakeDisk> disk{};  // the mass-storage disk behind the device
  // A USB 3 hub: its second half sits on the peer port of the other speed's
  // hub, with as many ports, each peered with this half's; these are the
  // devices on that half.
  bool superSpeedHalf = false;
  std::vector<FakeUsbDevice> superSpeedChildren{};
};

struct FakeRootHub {
  int ports = 0;
  std::vector<FakeUsbDevice> devices{};
  std::vector<FakePort> portStates{};
};

struct FakeController {
  FakeRootHub highSpeed;  // the USB 2 root hub
  // An xHCI controller's USB 3 root hub; its port i is the peer of the USB 2
  // root hub's port i, up to the smaller port count.
  std::optional<FakeRootHub> superSpeed{};
};

struct FakeUsbTree {
  std::vector<FakeController> controllers{};
  std::vector<FakeDisk> sataDisks{};
};

// The descriptors of a fake device: the device descriptor, then its one
// configuration (what sysfs' `descriptors` holds).
struct FakeDescriptors {
  std::vector<std::uint8_t> device;
  std::vector<std::uint8_t> configuration;
};

inline FakeDescriptors fakeDescriptorsOf(const FakeUsbDevice& device, bool superSpeed) {
  const bool hub = device.hubPorts > 0;
  const auto low = [](unsigned value) { return static_cast<std::uint8_t>(value & 0xff); };
  const auto high = [](unsigned value) { return static_cast<std::uint8_t>((value >> 8) & 0xff); };
  FakeDescriptors descriptors;
  descriptors.device = {18,
                        1,
                        0x00,
                        static_cast<std::uint8_t>(superSpeed ? 0x03 : 0x02),
                        static_cast<std::uint8_t>(hub ? 0x09 : 0x00),
                        0,
                        0,
                        64,
                        low(device.vendorId),
                        high(device.vendorId),
                        low(device.productId),
                        high(device.productId),
                        0x00,
                        0x01,
                        static_cast<std::uint8_t>(device.manufacturer.empty() ? 0 : 1),
                        static_cast<std::uint8_t>(device.product.empty() ? 0 : 2),
                        static_cast<std::uint8_t>(device.serial.empty() ? 0 : 3),
                        1};
  const bool storage = device.disk.has_value();
  const std::uint8_t interfaceClass = hub ? 0x09 : storage ? 0x08 : 0xff;
  const std::uint8_t protocol = storage ? (device.disk->driver == "uas" ? 0x62 : 0x50) : 0;
  const std::uint8_t endpoints = hub ? 1 : storage ? 2 : 0;
  std::vector<std::uint8_t> body = {9, 4, 0, 0, endpoints, interfaceClass, static_cast<std::uint8_t>(storage ? 6 : 0),
                                    protocol, 0};
  for (std::uint8_t e = 0; e < endpoints; ++e) {
    const std::uint8_t address = hub ? 0x81 : static_cast<std::uint8_t>(e == 0 ? 0x81 : 0x02);
    body.insert(body.end(), {7, 5, address, static_cast<std::uint8_t>(hub ? 3 : 2), 0x00, 0x02, 0});
  }
  const unsigned total = 9 + static_cast<unsigned>(body.size());
  descriptors.configuration = {9, 2, low(total), high(total), 1, 1, 0, 0x80, 50};
  descriptors.configuration.insert(descriptors.configuration.end(), body.begin(), body.end());
  return descriptors;
}

class UmockdevUsbTree {
 public:
  UmockdevUsbTree() : testbed_(umockdev_testbed_new()) {}
  ~UmockdevUsbTree() { g_clear_object(&testbed_); }
  UmockdevUsbTree(const UmockdevUsbTree&) = delete;
  UmockdevUsbTree& operator=(const UmockdevUsbTree&) = delete;

  // Whether this process runs with umockdev's preload.
  static bool underUmockdev() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
  }

  UMockdevTestbed* testbed() { return testbed_; }

  void add(const FakeUsbTree& tree) {
    for (const FakeController& controller : tree.controllers) addController(controller);
    for (const FakeDisk& disk : tree.sataDisks) addSataDisk(disk);
  }

  // Plugs a device (and all below it) into a port of the hub with this id
  // ("usb1", "1-2"); umockdev sends the arrival events.
  void plug(const std::string& hubId, const FakeUsbDevice& device) { addDevice(hubAt(hubId), device); }

  // Sends the removal events of the device and everything below it, deepest
  // first, then takes it out of the tree.
  void unplug(const std::string& id) {
    const std::string syspath = syspathOf(id);
    std::vector<std::string> below;
    for (const std::string& path : added_) {
      if (path == syspath || path.starts_with(syspath + "/")) below.push_back(path);
    }
    for (auto path = below.rbegin(); path != below.rend(); ++path) {
      umockdev_testbed_uevent(testbed_, path->c_str(), "remove");
    }
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
    std::erase_if(added_, [&](const std::string& path) { return path == syspath || path.starts_with(syspath + "/"); });
    std::erase_if(syspathById_, [&](const auto& entry) {
      return entry.second == syspath || entry.second.starts_with(syspath + "/");
    });
    std::erase_if(hubs_, [&](const auto& entry) {
      return entry.second.syspath == syspath || entry.second.syspath.starts_with(syspath + "/");
    });
  }

  // The syspath of a USB device, root hub ("usb1") or disk ("sdb").
  std::string syspathOf(const std::string& id) const {
    const auto found = syspathById_.find(id);
    if (found == syspathById_.end()) throw std::invalid_argument("no fake device " + id);
    return found->second;
  }

 private:
  struct HubRecord {
    std::string syspath;
    std::string sysname;
    std::string interfacePath;
    int bus = 0;
    std::string devpath;  // "0" for a root hub
    int ports = 0;
    bool superSpeed = false;
    std::optional<std::string> peerHub{};  // id of the other speed's hub whose ports are peers
    int peeredPorts = 0;                   // ports 1..peeredPorts have peers
  };

  static std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t byte : bytes) {
      std::snprintf(digits, sizeof digits, "%02X", byte);
      text += digits;
    }
    return text;
  }

  static std::string hex4(unsigned value) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04x", value & 0xffff);
    return digits;
  }

  // A link attribute's target, relative to the directory holding the link.
  static std::string relative(const std::string& target, const std::string& linkDirectory) {
    return std::filesystem::path(target).lexically_relative(linkDirectory).string();
  }

  static std::string driverLink(const std::string& syspath, const std::string& driver) {
    return relative("/sys/bus/usb/drivers/" + driver, syspath);
  }

  const HubRecord& hubAt(const std::string& id) const {
    const auto found = hubs_.find(id);
    if (found == hubs_.end()) throw std::invalid_argument("no fake hub " + id);
    return found->second;
  }

  std::string portDirectory(const HubRecord& hub, int port) const {
    return hub.interfacePath + "/" + hub.sysname + "-port" + std::to_string(port);
  }

  void addRecords(const std::string& records, const std::vector<std::string>& syspaths) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, records.c_str(), &error)) {
      const std::string message = error != nullptr ? error->message : "?";
      g_clear_error(&error);
      throw std::runtime_error("umockdev refused the fake tree: " + message);
    }
    added_.insert(added_.end(), syspaths.begin(), syspaths.end());
  }

  // The hub interface's record, with its port devices' attributes and peer links.
  std::string hubInterfaceRecord(const HubRecord& hub, const std::vector<FakePort>& portStates) const {
    std::string record = "P: " + sysfsLess(hub.interfacePath) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n" +
                         "E: DRIVER=hub\nA: bInterfaceClass=09\nA: bInterfaceNumber=00\nL: driver=" +
                         driverLink(hub.interfacePath, "hub") + "\n";
    for (int port = 1; port <= hub.ports; ++port) {
      FakePort state{.number = port};
      for (const FakePort& given : portStates) {
        if (given.number == port) state = given;
      }
      const std::string name = hub.sysname + "-port" + std::to_string(port);
      record += "A: " + name + "/connect_type=" + state.connectType + "\n";
      record += "A: " + name + "/over_current_count=" + std::to_string(state.overCurrentCount) + "\n";
      // A hub's USB 3 half is added after it; its links are written then.
      if (hub.peerHub && port <= hub.peeredPorts && hubs_.contains(*hub.peerHub)) {
        const HubRecord& peer = hubAt(*hub.peerHub);
        record += "L: " + name + "/peer=" + relative(portDirectory(peer, port), portDirectory(hub, port)) + "\n";
      }
    }
    return record + "\n";
  }

  static std::string sysfsLess(const std::string& syspath) { return syspath.substr(std::strlen("/sys")); }

  std::string deviceRecord(const std::string& syspath, int bus, int address, const std::string& devpath,
                           const FakeUsbDevice& device, bool superSpeed) const {
    const FakeDescriptors descriptors = fakeDescriptorsOf(device, superSpeed);
    std::vector<std::uint8_t> raw = descriptors.device;
    raw.insert(raw.end(), descriptors.configuration.begin(), descriptors.configuration.end());
    std::string record = "P: " + sysfsLess(syspath) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    record += "E: BUSNUM=" + std::to_string(bus) + "\nE: DEVNUM=" + std::to_string(address) + "\n";
    record += "A: busnum=" + std::to_string(bus) + "\nA: devnum=" + std::to_string(address) + "\n";
    record += "A: devpath=" + devpath + "\nA: maxchild=" + std::to_string(device.hubPorts) + "\n";
    record += std::string("A: bDeviceClass=") + (device.hubPorts > 0 ? "09" : "00") + "\n";
    record += "A: idVendor=" + hex4(device.vendorId) + "\nA: idProduct=" + hex4(device.productId) + "\n";
    record += std::string("A: speed=") + (superSpeed ? "5000" : "480") + "\nA: bConfigurationValue=1\n";
    if (!device.manufacturer.empty()) record += "A: manufacturer=" + device.manufacturer + "\n";
    if (!device.product.empty()) record += "A: product=" + device.product + "\n";
    if (!device.serial.empty()) record += "A: serial=" + device.serial + "\n";
    return record + "H: descriptors=" + hex(raw) + "\n\n";
  }

  int nextAddress(int bus) { return ++lastAddress_[bus]; }

  void addController(const FakeController& controller) {
    const int pci = 0x14 + controllerCount_++;
    char pciName[32];
    std::snprintf(pciName, sizeof pciName, "0000:00:%02x.0", pci);
    const std::string base = std::string("/sys/devices/pci0000:00/") + pciName;
    const std::string highId = addRootHubRecord(base, controller.highSpeed.ports, false);
    std::optional<std::string> superId;
    if (controller.superSpeed) {
      superId = addRootHubRecord(base, controller.superSpeed->ports, true);
      const int peered = std::min(controller.highSpeed.ports, controller.superSpeed->ports);
      hubs_[highId].peerHub = superId;
      hubs_[highId].peeredPorts = peered;
      hubs_[*superId].peerHub = highId;
      hubs_[*superId].peeredPorts = peered;
    }
    writeRootHub(highId, controller.highSpeed);
    if (superId) writeRootHub(*superId, *controller.superSpeed);
    for (const FakeUsbDevice& device : controller.highSpeed.devices) addDevice(hubAt(highId), device);
    if (superId) {
      for (const FakeUsbDevice& device : controller.superSpeed->devices) addDevice(hubAt(*superId), device);
    }
  }

  std::string addRootHubRecord(const std::string& base, int ports, bool superSpeed) {
    const int bus = ++busCount_;
    HubRecord hub;
    hub.sysname = "usb" + std::to_string(bus);
    hub.syspath = base + "/" + hub.sysname;
    hub.interfacePath = hub.syspath + "/" + std::to_string(bus) + "-0:1.0";
    hub.bus = bus;
    hub.devpath = "0";
    hub.ports = ports;
    hub.superSpeed = superSpeed;
    hubs_[hub.sysname] = hub;
    syspathById_[hub.sysname] = hub.syspath;
    return hub.sysname;
  }

  void writeRootHub(const std::string& id, const FakeRootHub& root) {
    const HubRecord& hub = hubAt(id);
    FakeUsbDevice self{.vendorId = 0x1d6b,
                       .productId = static_cast<std::uint16_t>(hub.superSpeed ? 0x0003 : 0x0002),
                       .product = hub.superSpeed ? "xHCI Host Controller" : "EHCI Host Controller",
                       .hubPorts = root.ports};
    const int address = nextAddress(hub.bus);
    addRecords(deviceRecord(hub.syspath, hub.bus, address, "0", self, hub.superSpeed) +
                   hubInterfaceRecord(hub, root.portStates),
               {hub.syspath, hub.interfacePath});
  }

  void addDevice(const HubRecord& parent, const FakeUsbDevice& device) {
    if (device.port < 1 || device.port > parent.ports) {
      throw std::invalid_argument("port " + std::to_string(device.port) + " is not on " + parent.sysname);
    }
    const std::string number = std::to_string(device.port);
    const std::string devpath = parent.devpath == "0" ? number : parent.devpath + "." + number;
    const std::string name = std::to_string(parent.bus) + "-" + devpath;
    const std::string syspath = parent.syspath + "/" + name;
    const std::string interfacePath = syspath + "/" + name + ":1.0";
    const bool superSpeed = parent.superSpeed;
    syspathById_[name] = syspath;

    std::string records = deviceRecord(syspath, parent.bus, nextAddress(parent.bus), devpath, device, superSpeed);
    std::vector<std::string> syspaths = {syspath, interfacePath};
    if (device.hubPorts > 0) {
      HubRecord hub{.syspath = syspath,
                    .sysname = name,
                    .interfacePath = interfacePath,
                    .bus = parent.bus,
                    .devpath = devpath,
                    .ports = device.hubPorts,
                    .superSpeed = superSpeed};
      if (device.superSpeedHalf) {
        if (superSpeed || !parent.peerHub || device.port > parent.peeredPorts) {
          throw std::invalid_argument(name + " has no peer port for its USB 3 half");
        }
        const HubRecord& otherParent = hubAt(*parent.peerHub);
        const std::string otherDevpath = otherParent.devpath == "0" ? number : otherParent.devpath + "." + number;
        hub.peerHub = std::to_string(otherParent.bus) + "-" + otherDevpath;
        hub.peeredPorts = device.hubPorts;
      }
      hubs_[name] = hub;
      records += hubInterfaceRecord(hub, device.portStates);
    } else {
      records += "P: " + sysfsLess(interfacePath) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n" +
                 "A: bInterfaceNumber=00\n" +
                 (device.disk ? "A: bInterfaceClass=08\n" : "A: bInterfaceClass=ff\n");
      if (device.disk && !device.disk->driver.empty()) {
        records += "E: DRIVER=" + device.disk->driver + "\nL: driver=" +
                   driverLink(interfacePath, device.disk->driver) + "\n";
      }
      records += "\n";
      if (device.disk) records += diskRecords(interfacePath, *device.disk, syspaths);
    }
    addRecords(records, syspaths);

    for (const FakeUsbDevice& child : device.children) addDevice(hubAt(name), child);
    if (device.superSpeedHalf) {
      FakeUsbDevice half = device;
      half.superSpeedHalf = false;
      half.children = device.superSpeedChildren;
      half.superSpeedChildren.clear();
      const std::string halfId = *hubs_[name].peerHub;
      addDevice(hubAt(*parent.peerHub), half);
      hubs_[halfId].peerHub = name;
      hubs_[halfId].peeredPorts = device.hubPorts;
      writePeerLinks(hubs_[name]);
      writePeerLinks(hubs_[halfId]);
    }
  }

  void writePeerLinks(const HubRecord& hub) {
    const HubRecord& peer = hubAt(*hub.peerHub);
    for (int port = 1; port <= hub.peeredPorts; ++port) {
      const std::string directory = portDirectory(hub, port);
      umockdev_testbed_set_attribute_link(
          testbed_, hub.interfacePath.c_str(), (hub.sysname + "-port" + std::to_string(port) + "/peer").c_str(),
          relative(portDirectory(peer, port), directory).c_str());
    }
  }

  // The SCSI host, target and device of a disk, its SCSI generic node, the
  // disk and its partitions.
  std::string diskRecords(const std::string& parentPath, const FakeDisk& disk, std::vector<std::string>& syspaths) {
    const std::string host = std::to_string(hostCount_++);
    const std::string hostPath = parentPath + "/host" + host;
    const std::string targetPath = hostPath + "/target" + host + ":0:0";
    const std::string scsiPath = targetPath + "/" + host + ":0:0:0";
    std::string records = "P: " + sysfsLess(hostPath) + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_host\n\n";
    records += "P: " + sysfsLess(targetPath) + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_target\n\n";
    records += "P: " + sysfsLess(scsiPath) + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_device\nA: type=0\n\n";
    syspaths.insert(syspaths.end(), {hostPath, targetPath, scsiPath});
    if (disk.sg) {
      const std::string sg = "sg" + std::to_string(*disk.sg);
      const std::string sgPath = scsiPath + "/scsi_generic/" + sg;
      records += "P: " + sysfsLess(sgPath) + "\nE: SUBSYSTEM=scsi_generic\nE: DEVNAME=/dev/" + sg +
                 "\nE: MAJOR=21\nE: MINOR=" + std::to_string(*disk.sg) + "\nA: dev=21:" + std::to_string(*disk.sg) +
                 "\nN: " + sg + "=00\n\n";
      syspaths.push_back(sgPath);
    }
    const std::string diskPath = scsiPath + "/block/" + disk.name;
    records += blockRecord(diskPath, disk.name, "disk", disk.minor, 0);
    syspaths.push_back(diskPath);
    syspathById_[disk.name] = diskPath;
    for (unsigned partition = 1; partition <= disk.partitions; ++partition) {
      const std::string name = disk.name + std::to_string(partition);
      records += blockRecord(diskPath + "/" + name, name, "partition", disk.minor + partition, partition);
      syspaths.push_back(diskPath + "/" + name);
      syspathById_[name] = diskPath + "/" + name;
    }
    return records;
  }

  static std::string blockRecord(const std::string& syspath, const std::string& name, const char* devtype,
                                 unsigned minor, unsigned partition) {
    std::string record = "P: " + sysfsLess(syspath) + "\nE: SUBSYSTEM=block\nE: DEVTYPE=" + devtype +
                         "\nE: DEVNAME=/dev/" + name + "\nE: MAJOR=8\nE: MINOR=" + std::to_string(minor) +
                         "\nA: dev=8:" + std::to_string(minor) + "\n";
    if (partition > 0) record += "A: partition=" + std::to_string(partition) + "\n";
    return record + "N: " + name + "=00\n\n";
  }

  void addSataDisk(const FakeDisk& disk) {
    const std::string port = std::to_string(++sataCount_);
    const std::string ata = "/sys/devices/pci0000:00/0000:00:17.0/ata" + port;
    std::vector<std::string> syspaths;
    addRecords(diskRecords(ata, disk, syspaths), syspaths);
  }

  UMockdevTestbed* testbed_;
  std::vector<std::string> added_;  // in the order added, so that removals go deepest first
  std::map<std::string, std::string> syspathById_;
  std::map<std::string, HubRecord> hubs_;
  std::map<int, int> lastAddress_;
  int busCount_ = 0;
  int controllerCount_ = 0;
  int hostCount_ = 0;
  int sataCount_ = 0;
};

}  // namespace platform::devices::umockdev_tree
