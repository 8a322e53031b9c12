#include "devlib/disk_layout.h"

#include <algorithm>
#include <mutex>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "byte_fields.h"
#include "devlib/debug_print.h"

namespace devlib {
namespace {

constexpr std::size_t kCodeEnd = 300;
constexpr std::size_t kSignatureAt = 440;
constexpr std::size_t kTableAt = 446;
constexpr std::size_t kEntryBytes = 16;
constexpr std::size_t kMarkAt = 510;

// Partition entries count sectors in 32 bits; the partition ends within them.
constexpr std::uint64_t kAddressableSectors = std::uint64_t{1} << 32;

struct Message {
  std::size_t at;
  std::string_view text;
};

constexpr std::array<Message, 3> kMessages{{
    {300, "Invalid partition table"},
    {324, "Error loading operating system"},
    {355, "Missing operating system"},
}};

// The boot loader, real-mode x86 loaded by the BIOS at 0000:7C00:
//
//   cli; xor ax,ax; mov ss,ax; mov sp,7C00h; mov ds,ax; mov es,ax; sti; cld
//   mov si,7C00h; mov di,0600h; mov cx,256; rep movsw   ; move out of the way
//   jmp 0000:061Eh                                       ; continue in the copy
//   mov [drive],dl                                       ; the BIOS's boot drive
//   mov si,07BEh; xor bp,bp; mov cx,4                    ; the four entries
// scan: mov al,[si]; cmp al,80h; jne notactive
//   test bp,bp; jnz badtable; mov bp,si; jmp next        ; two active: bad table
// notactive: test al,al; jnz badtable                    ; neither 0 nor 80h: bad
// next: add si,16; loop scan
//   test bp,bp; jnz load; int 18h                        ; none active: next boot device
// hang: hlt; jmp hang
// badtable: mov si,0600h+300; jmp say
// load: mov di,5                                         ; five attempts
// retry: mov dl,[drive]; mov ah,41h; mov bx,55AAh; int 13h ; LBA extensions?
//   jc bychs; cmp bx,0AA55h; jne bychs; test cl,1; jz bychs
//   mov eax,[bp+8]; mov [dap.lba],eax; mov si,dap; mov dl,[drive]; mov ah,42h; int 13h
//   jnc loaded; jmp failed
// bychs: mov dl,[drive]; mov dh,[bp+1]; mov cx,[bp+2]; mov bx,7C00h; mov ax,0201h; int 13h
//   jnc loaded
// failed: xor ah,ah; mov dl,[drive]; int 13h; dec di; jnz retry   ; reset, again
//   mov si,0600h+324; jmp say
// loaded: cmp word [7DFEh],0AA55h; je start
//   mov si,0600h+355; jmp say
// start: mov si,bp; mov dl,[drive]; jmp 0000:7C00h       ; DS:SI = the entry
// say: lodsb; test al,al; jz hang; mov ah,0Eh; mov bx,7; int 10h; jmp say
// drive: db 80h; align 4
// dap: db 16,0; dw 1; dw 7C00h,0; dd 0,0                 ; one sector to 0000:7C00
constexpr std::array<std::uint8_t, 220> kLoader{
    0xfa, 0x31, 0xc0, 0x8e, 0xd0, 0xbc, 0x00, 0x7c, 0x8e, 0xd8, 0x8e, 0xc0, 0xfb, 0xfc, 0xbe, 0x00, 0x7c, 0xbf, 0x00,
    0x06, 0xb9, 0x00, 0x01, 0xf3, 0xa5, 0xea, 0x1e, 0x06, 0x00, 0x00, 0x88, 0x16, 0xcb, 0x06, 0xbe, 0xbe, 0x07, 0x31,
    0xed, 0xb9, 0x04, 0x00, 0x8a, 0x04, 0x3c, 0x80, 0x75, 0x08, 0x85, 0xed, 0x75, 0x16, 0x89, 0xf5, 0xeb, 0x04, 0x84,
    0xc0, 0x75, 0x0e, 0x83, 0xc6, 0x10, 0xe2, 0xe9, 0x85, 0xed, 0x75, 0x0a, 0xcd, 0x18, 0xf4, 0xeb, 0xfd, 0xbe, 0x2c,
    0x07, 0xeb, 0x6e, 0xbf, 0x05, 0x00, 0x8a, 0x16, 0xcb, 0x06, 0xb4, 0x41, 0xbb, 0xaa, 0x55, 0xcd, 0x13, 0x72, 0x22,
    0x81, 0xfb, 0x55, 0xaa, 0x75, 0x1c, 0xf6, 0xc1, 0x01, 0x74, 0x17, 0x66, 0x8b, 0x46, 0x08, 0x66, 0xa3, 0xd4, 0x06,
    0xbe, 0xcc, 0x06, 0x8a, 0x16, 0xcb, 0x06, 0xb4, 0x42, 0xcd, 0x13, 0x73, 0x26, 0xeb, 0x14, 0x8a, 0x16, 0xcb, 0x06,
    0x8a, 0x76, 0x01, 0x8b, 0x4e, 0x02, 0xbb, 0x00, 0x7c, 0xb8, 0x01, 0x02, 0xcd, 0x13, 0x73, 0x10, 0x30, 0xe4, 0x8a,
    0x16, 0xcb, 0x06, 0xcd, 0x13, 0x4f, 0x75, 0xb2, 0xbe, 0x44, 0x07, 0xeb, 0x18, 0x81, 0x3e, 0xfe, 0x7d, 0x55, 0xaa,
    0x74, 0x05, 0xbe, 0x63, 0x07, 0xeb, 0x0b, 0x89, 0xee, 0x8a, 0x16, 0xcb, 0x06, 0xea, 0x00, 0x7c, 0x00, 0x00, 0xac,
    0x84, 0xc0, 0x74, 0x85, 0xb4, 0x0e, 0xbb, 0x07, 0x00, 0xcd, 0x10, 0xeb, 0xf2, 0x80, 0x10, 0x00, 0x01, 0x00, 0x00,
    0x7c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
static_assert(kLoader.size() <= kCodeEnd);

// The three CHS bytes of an LBA; beyond cylinder 1023 the largest address
// stands in, as the LBA fields hold the truth.
void PutChs(std::span<std::uint8_t> out, std::size_t at, std::uint64_t lba, const platform::block::Geometry& g) {
  std::uint64_t cylinder = lba / (std::uint64_t{g.heads} * g.sectorsPerTrack);
  std::uint64_t head = lba / g.sectorsPerTrack % g.heads;
  std::uint64_t sector = lba % g.sectorsPerTrack + 1;
  if (cylinder > 1023 || head > 255 || sector > 63) {
    cylinder = 1023;
    head = 254;
    sector = 63;
  }
  out[at] = static_cast<std::uint8_t>(head);
  out[at + 1] = static_cast<std::uint8_t>(sector | ((cylinder >> 2) & 0xc0));
  out[at + 2] = static_cast<std::uint8_t>(cylinder);
}

bool WriteLayout(std::string_view diskPath) {
  platform::block::OpenResult opened = platform::block::openBlockDevice(diskPath);
  if (!opened.device) {
    DebugPrint("%s\n", opened.error.c_str());
    return false;
  }
  const platform::block::Geometry geometry = opened.device->geometry();
  if (geometry.sectorSize < kMbrBytes || PartitionSectors(geometry) == 0) {
    DebugPrint("%.*s: %llu sectors of %u bytes take no partition\n", static_cast<int>(diskPath.size()),
               diskPath.data(), static_cast<unsigned long long>(geometry.sectorCount), geometry.sectorSize);
    return false;
  }
  std::vector<std::uint8_t> sector(geometry.sectorSize, 0);
  const auto mbr = ComposeMbr(geometry, NewDiskSignature());
  std::copy(mbr.begin(), mbr.end(), sector.begin());
  if (!opened.device->writeLayout(sector) || !opened.device->flush()) return false;
  opened.device.reset();
  // The system reads the new table only when asked, and only once the disk is closed.
  if (const std::string refused = platform::block::rereadPartitions(diskPath); !refused.empty()) {
    DebugPrint("%s\n", refused.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::uint64_t PartitionSectors(const platform::block::Geometry& geometry) {
  const std::uint64_t cylinder = std::uint64_t{geometry.heads} * geometry.sectorsPerTrack;
  if (geometry.sectorSize == 0 || cylinder == 0) return 0;
  const std::uint64_t usable = std::min(geometry.sectorCount, kAddressableSectors);
  const std::uint64_t whole = usable / cylinder * cylinder;
  return whole > kPartitionStartSector ? whole - kPartitionStartSector : 0;
}

std::array<std::uint8_t, kMbrBytes> ComposeMbr(const platform::block::Geometry& geometry,
                                               std::uint32_t diskSignature) {
  std::array<std::uint8_t, kMbrBytes> mbr{};
  std::copy(kLoader.begin(), kLoader.end(), mbr.begin());
  for (const Message& m : kMessages) {
    std::copy(m.text.begin(), m.text.end(), mbr.begin() + static_cast<std::ptrdiff_t>(m.at));
  }
  detail::PutLittleEndian32(mbr, kSignatureAt, diskSignature);

  const std::uint64_t sectors = PartitionSectors(geometry);
  if (sectors != 0) {
    std::span<std::uint8_t> entry(mbr.data() + kTableAt, kEntryBytes);
    entry[0] = 0x00;  // not active
    PutChs(entry, 1, kPartitionStartSector, geometry);
    entry[4] = kFat32PartitionType;
    PutChs(entry, 5, kPartitionStartSector + sectors - 1, geometry);
    detail::PutLittleEndian32(entry, 8, static_cast<std::uint32_t>(kPartitionStartSector));
    detail::PutLittleEndian32(entry, 12, static_cast<std::uint32_t>(sectors));
  }
  mbr[kMarkAt] = 0x55;
  mbr[kMarkAt + 1] = 0xaa;
  return mbr;
}

std::uint32_t NewDiskSignature() {
  static std::mutex mutex;
  static std::mt19937 random{std::random_device{}()};
  static std::set<std::uint32_t> given;
  std::lock_guard lock(mutex);
  for (;;) {
    const auto signature = static_cast<std::uint32_t>(random());
    if (signature != 0 && given.insert(signature).second) return signature;
  }
}

bool PartitionDiskEx(std::string_view diskPath, int /*port*/) { return WriteLayout(diskPath); }

bool PartitionDiskMbr(std::string_view diskPath) { return WriteLayout(diskPath); }

int FindDriveLetter(std::string_view diskPath, VolumeRef& letter) {
  const auto volume = platform::block::findVolume(diskPath);
  if (!volume) return 0;
  letter = *volume;
  return 1;
}

VolumeHandle OpenDriveLetter(const VolumeRef& letter) {
  if (letter.node.empty()) return nullptr;
  return platform::block::openVolume(letter);
}

bool LockVolume(const VolumeHandle& handle) { return handle && handle->lock(); }

bool DismountVolume(const VolumeHandle& handle) { return handle && handle->dismount(); }

bool CloseDriveHandle(VolumeHandle& handle) {
  if (!handle) return false;
  handle.reset();
  return true;
}

bool IsWindows2000() { return false; }

bool IsWindows7() { return false; }

}  // namespace devlib
