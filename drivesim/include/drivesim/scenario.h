#pragma once
// Scenario files: a small INI-like text that describes the drives of a line.
//
//   # comment
//   [drive]
//   path = \\?\usbstor#disk&ven_tolvane&prod_ssd#0001
//   frontend = own-usb | bridge | sata
//   chip = 7                 bridge chip type
//   key = q204               four characters, or 0x and eight hex digits
//   udma = yes | no
//   vendor / product / revision = INQUIRY texts of the USB front end
//   sectors = 234441648      decimal or 0x hex
//   model / serial / firmware = IDENTIFY texts
//   state = firmware | loader
//   flashid = 98D7943276     ten hex digits
//   temperature = 40
//   loadermodel = ...        IDENTIFY model while no firmware runs
//   identify60 = 0x0FFFFFFF  IDENTIFY words 60-61 as given
//   identify100 = 0          IDENTIFY words 100-103 as given
//   datecode = 110222        the firmware's date code
//   unresponsive = 600       ms without answers after a run-mode switch or RAM-code start
//   sequence = 1             loader header sequence number
//   busypolls = 2            busy polls of a job without a key of its own
//   op1 .. op4, dram = polls 3 ms 2000 status 20 stuck    (any of them)
//   registerfault = 0x20005 reads 0x55 | 0x20005 fails
//   testmemoryflip = write 8 offset 100 mask 0x01
//   flashtype = 0x224A       the flash part's type word
//   channels = 4, banks = 2, ces = 2
//   flashidat = 1 0 ECD7147644           channel, chip enable, ID
//   flashpage = all 0 2 0 0 "LDBK BLOCKS V30"   channel or all, chip enable,
//                            block, page, offset, hex digits or a quoted text
//   lbareaderror = 1234
//   lbacorrupt = 1234 word 5 mask 0x0001
//   lbawriteerror = 1234     a write covering it fails and stores nothing
//   loaderinquiry = Tolvane Flash CR Loader   own-usb: INQUIRY bytes 8..31 while no firmware runs
//   smarttemperature = no    the S.M.A.R.T. table has no temperature attribute
//   reenumeration = 3        answers that fail after a run-mode switch
//   stuckinloader = yes      a switch to the firmware leaves the loader running
//   bus = scsi | sbp2        the bus the disk is listed on (default: IDE on a
//                            SATA port, USB on the USB front ends)
//   volume = E               the disk's mounted volume (default: none)
//   rotation = 7200          IDENTIFY word 217 (default 1, a non-rotating medium)
//   vendormode = refuses     SET FEATURES DCh and vendor blocks are refused (default accepts)
//   signature = foreign      the firmware signature sector is not the controller's (default own)
//   identify = fails         IDENTIFY DEVICE is aborted (default answers)
//
// The configuration page the firmware serves and the loader header:
//   usbvid = 0x3a8e, usbpid = 0x0a4f   own-usb: the device descriptor's IDs
//   usbmanufacturer / usbproduct = ...  own-usb: string descriptors 1 and 2
//                            (default: the INQUIRY vendor and product)
//   partname = TH58TEG7DDJTA20   the loader header's flash part name
//   ecc = bch24 | bch16      drvcurrent = 2 (0..5)   extramode = no | yes
//   respercentage = 68       per mille of blocks in reserve
//   readthreshold = 20       parameter byte 32, also the host's DefPercentage
//   copythreshold = 16, wearlevel = 8, securitycounter = 3
//   optionsa = 0x10          parameter byte 9 (0x10 scramble, 0x20 remap)
//   optionsb = 0, featurebyte = 0x48
//   regset2 = 111111009BF954     fourteen hex digits, TMC0 and TMC1 first
//   layoutwords = 33 1 32 0
//   loaderheader = yes       page 0 of the loader blocks holds the loader
//                            header (default no; flashpage bytes go over it)
//   loaderfiles = 2 33 38    the download files' page counts (one to eight)
//
// Bad blocks, the tables the RAM code's preformat builds, the loader list:
//   factorybad = 0 1 200     channel, bank index, block: marked bad by the maker
//   laterbad = 1 0 300 4     channel, bank index, block, type (1 Ecc Over,
//                            3 Prog Fail, 4 Erase Fail, 5 Ecc Fail): grown bad
//   tables = none | built    built: the flash holds an earlier preformat's tables
//   laterunits = 16 17       the later-table units of bank index 0 and the others
//   preformatlimit = 40      more bad blocks on one die fail the preformat
//   tabledamage = earlybad 1 defect | earlybad | remap | system | later, and a
//                            channel whose table signature is spoilt
//   loaderblocks = 0 1 2 3   the loader list and the parameter block's blocks
//   loaderlist = fails       sub-op 0x07 fails (default answers)
//
// The test RAM code's flash interface steps and DRAM check:
//   flashtestfault = 3 0 1 4 commands 9   step, channel, bank, failure code
//                            (1..11): the step fails (its first N commands;
//                            every one without commands) and the result block
//                            lists the entry
//   dramcell = 0x20001 stuck 0x00   a DRAM cell holding that byte whatever is
//                            written: a DRAM check over it ends with status 20
//
// The user data as the system's block device, and the volume of its first
// partition:
//   image = /tmp/drive1.img  a raw disk image that holds the user data (made
//                            sparse, grown to the drive's size; default: memory)
//   systemdisk = yes         the drive holds the running system: not opened
//                            for writing, its volume never found
//   rescan = answers | busy  re-reading the partition table fails as busy
//   volumeappears = 3 | never   volume queries that find nothing after the
//                            partition table was read (default 0)
//   volumelock = holds | fails  locking the volume fails
//
// Commands the transport answers short:
//   shortreply = subop 0x86 100   scsi, ata or subop, the SCSI opcode, ATA
//                            command or vendor sub-op, then the bytes that
//                            arrive: every such data-in answers GOOD with
//                            only these bytes of its reply moved
//
// registerfault, flashidat, flashpage, lbareaderror, lbawriteerror,
// lbacorrupt, factorybad, laterbad, tabledamage, flashtestfault, dramcell and
// shortreply may stand more than once,
// each adding one. A key missing from a section keeps the
// default of its front end.
//
// The USB tree the drives sit in (usb_topology.h); without [hub] sections
// every USB drive has a port of its own on one root hub, in file order.
//
//   [hub]
//   name = r1                a word the ports refer to
//   ports = 4                1 to 255
//   at = r1 2                the hub's port it is plugged into; without it a
//                            hub interface of the host:
//   root = yes | no            no: listed, but not a root hub (default yes)
//   path = \\?\usb#root_hub30#4&1f2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}
//                              (default: generated from the name)
//   vid = 0x2d9a, pid = 0x0607   the hub's IDs
//   nodeinfo = fails         its node information cannot be read
//   open = fails             it cannot be opened
//
//   [port]
//   at = h1 3                the hub and the port number
//   drive = \\?\usbstor#...  the path of the [drive] on this port
//   vid = 0x3a8e, pid = 0x0a4f, class = 0      the device descriptor; a port
//                            with IDs and no drive holds another USB device
//   serial = TV0000000001 | none      the serial string (default: the drive's serial)
//   languages = 0x0409 0x0407 | none  string descriptor 0
//   manufacturer / product = texts of string descriptors 1 and 2
//   instanceid / driverkey = in place of the generated ones
//   status = enumeration-failed | general-failure | overcurrent | not-enough-power
//   connectioninfo = fails   the port's connection information cannot be read
//   parent = none            the drive's disk is listed without its device
//
// A hub section comes after the one of the hub it is plugged into; [port]
// sections may stand anywhere.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "drivesim/line.h"

namespace drivesim {

struct ScenarioLoad {
  std::shared_ptr<Line> line;  // empty when the file could not be loaded
  std::string error;           // why, naming the line of the file
};

ScenarioLoad parseScenario(std::string_view text);
ScenarioLoad loadScenario(const std::filesystem::path& file);

// TOLVANE_SIM names a scenario file: loads it and installs its line as the
// storage backend and its USB tree as the device tree (installLine). An
// unset or empty variable gives an empty line and no error.
ScenarioLoad installFromEnvironment();

}  // namespace drivesim
