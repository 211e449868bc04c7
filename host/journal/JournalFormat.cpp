// Encoding and decoding the journal's records (JournalFormat.h).
#include "journal/JournalFormat.h"

#include <xxhash.h>
#if defined(__x86_64__)
#include <xxh_x86dispatch.h>
#endif

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnox::journal {
namespace {

template <typename T>
void put(uint8_t* dest, size_t offset, T value) {
  std::memcpy(dest + offset, &value, sizeof(T));
}

template <typename T>
T get(const uint8_t* src, size_t offset) {
  T value;
  std::memcpy(&value, src + offset, sizeof(T));
  return value;
}

void putHeader(uint8_t* dest, uint32_t length, uint64_t sequence, uint8_t type, uint8_t kind, uint32_t tag,
               uint64_t identity) {
  put<uint32_t>(dest, 0, kRecordMagic);
  put<uint32_t>(dest, 4, length);
  put<uint64_t>(dest, 8, sequence);
  dest[16] = type;
  dest[17] = kind;
  put<uint16_t>(dest, 18, 0);
  put<uint32_t>(dest, 20, tag);
  put<uint64_t>(dest, 24, identity);
}

void seal(uint8_t* dest, size_t length) { put<uint64_t>(dest, length - 8, XXH3_64bits(dest, length - 8)); }

}  // namespace

// Every block a command writes is hashed on the drive thread before the command is sent: on x86
// the library picks the widest vector unit the processor has (AVX2, AVX-512) at run time.
uint64_t blockHash(const uint8_t* data, size_t bytes) {
#if defined(__x86_64__)
  return XXH3_64bits_dispatch(data, bytes);
#else
  return XXH3_64bits(data, bytes);
#endif
}

uint32_t intentHashCount(const JournalIntent& intent) {
  switch (intent.kind) {
    case JournalKind::Write:
    case JournalKind::Atomic:
      return intent.blocks;
    case JournalKind::WriteSame:
      return intent.blocks == 0 ? 0 : 1;
    default:
      return 0;
  }
}

size_t intentRecordBytes(const JournalIntent& intent) { return 56 + 8 * size_t{intentHashCount(intent)} + 8; }

size_t encodeIntent(uint8_t* dest, uint64_t sequence, uint64_t identity, const JournalIntent& intent) {
  const size_t length = intentRecordBytes(intent);
  const uint32_t hashes = intentHashCount(intent);
  putHeader(dest, static_cast<uint32_t>(length), sequence, kIntentRecord, static_cast<uint8_t>(intent.kind), intent.tag,
            identity);
  put<uint64_t>(dest, 32, intent.lba);
  put<uint32_t>(dest, 40, intent.blocks);
  put<uint32_t>(dest, 44, intent.lbaStride);
  put<uint32_t>(dest, 48, intent.atomicUnit);
  put<uint32_t>(dest, 52, hashes);
  for (uint32_t k = 0; k < hashes; ++k)
    put<uint64_t>(dest, 56 + 8 * size_t{k}, blockHash(intent.data + k * intent.dataStride, intent.blockBytes));
  seal(dest, length);
  return length;
}

size_t encodeCompletion(uint8_t* dest, uint64_t sequence, uint64_t identity, JournalOutcome outcome) {
  putHeader(dest, kCompletionRecordBytes, sequence, kCompletionRecord, static_cast<uint8_t>(outcome), 0, identity);
  seal(dest, kCompletionRecordBytes);
  return kCompletionRecordBytes;
}

JournalContents decodeJournal(const uint8_t* bytes, size_t size) {
  JournalContents contents;
  size_t offset = 0;
  uint64_t expected = 1;
  while (offset + kCompletionRecordBytes <= size) {
    const uint8_t* r = bytes + offset;
    const uint32_t length = get<uint32_t>(r, 4);
    if (get<uint32_t>(r, 0) != kRecordMagic || length < kCompletionRecordBytes || length % 8 != 0 ||
        length > size - offset || get<uint64_t>(r, 8) != expected ||
        get<uint64_t>(r, length - 8) != XXH3_64bits(r, length - 8)) {
      break;
    }
    JournalRecord record;
    record.type = r[16];
    record.sequence = expected;
    record.tag = get<uint32_t>(r, 20);
    record.identity = get<uint64_t>(r, 24);
    if (record.type == kIntentRecord) {
      if (length < 64 || r[17] < 1 || r[17] > 7) break;
      record.kind = static_cast<JournalKind>(r[17]);
      record.lba = get<uint64_t>(r, 32);
      record.blocks = get<uint32_t>(r, 40);
      record.lbaStride = get<uint32_t>(r, 44);
      record.atomicUnit = get<uint32_t>(r, 48);
      const uint32_t hashes = get<uint32_t>(r, 52);
      if (56 + 8 * size_t{hashes} + 8 != length) break;
      record.hashes.resize(hashes);
      for (uint32_t k = 0; k < hashes; ++k) record.hashes[k] = get<uint64_t>(r, 56 + 8 * size_t{k});
    } else if (record.type == kCompletionRecord && length == kCompletionRecordBytes && r[17] <= 2) {
      record.outcome = static_cast<JournalOutcome>(r[17]);
    } else {
      break;
    }
    contents.records.push_back(std::move(record));
    offset += length;
    ++expected;
  }
  contents.validBytes = offset;
  // The file grows in zeroed chunks: zeros after the last record are room, anything else a cut record.
  contents.tornTail = std::any_of(bytes + offset, bytes + size, [](uint8_t b) { return b != 0; });
  return contents;
}

bool readJournalFile(const std::string& path, JournalContents& contents, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    error = "journal file " + path + " cannot be read: " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  if (size == 0) {
    ::close(fd);
    contents = JournalContents{};
    return true;
  }
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) {
    error = "journal file " + path + " cannot be mapped: " + std::strerror(errno);
    return false;
  }
  contents = decodeJournal(static_cast<const uint8_t*>(map), size);
  ::munmap(map, size);
  return true;
}

}  // namespace varnox::journal
