// The machine-wide file cache of address lookups: one file per key.
//
// Where:  CACHE_DIR "/" "%03x" (the masked checksum's low 9 bits) "/" FILE
//         FILE = "%x+%s,%d,%x,%x,%x,%x+%s" (masked checksum, service, hints
//         given, ai_flags, ai_family, ai_socktype, ai_protocol, name; name
//         and service lower-cased and mapped by safe_name), cut to 251
//         characters, then ".txt".
// Body (every line ends in "\n"):
//   KEY                      "%s,%s,%d,%x,%x,%x,%x" (lower-cased name and service)
//   CREATED                  decimal seconds
//   CODE                     resolver code, 0 for success
//   MILLISECONDS             decimal
//   { "ADDRINFO_NEXT"
//     "BASICS=" "%d;%d;%d;%lu;%s"   flags, socktype, protocol, milliseconds,
//                                   canonical name or "_NULL_CANONNAME_"
//     "SOCKADDR=" "%d;%ld;" HEX     family, length, the address bytes as two
//                                   lower-case hex digits each (at most 64
//                                   bytes), or "_NULL_ADDRSTR_" for HEX
//     "CACHED_FLAGS=" 11 x "%d" joined by ";"   flags 0-4, 7, 9-13
//     "HOST_UUIDS=" "%d;%ld"        known, count; then count UUID lines
//     "UUID_HOSTS=" "%d;%ld"        known, count; then count name lines }*
//   "ADDRINFO_END"
//
// Writers write a working file "ainfo..." in the entry directory (0644) and
// rename it over FILE, so readers see the old file or the new one, never a
// part. Readers trust an entry only when the file and its directory belong
// to root or to the reader's user and are writable by no one else; they open
// without following links and without blocking, and take regular files only.
// format_body and parse_body are the only code that knows this grammar.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vnet/vnet_addrinfo_internal.h"

namespace zt::vnet::filecache {

using resolve::AddrItem;
using resolve::AddrKey;

std::string key_string(const AddrKey &key);
// The file-name form of a name or service text.
std::string safe_name(std::string_view text);
// Checksum of the lower-cased name masked to bits (1-31; else all 32).
uint32_t masked_crc(const AddrKey &key, int bits);

struct Location {
    std::string dir;  // the entry directory
    std::string file; // its file name
    std::string path() const { return dir + "/" + file; }
};
Location locate(const std::string &cache_dir, const AddrKey &key, int bits);

std::string format_body(const std::string &key, const AddrItem &item);

enum class Read { Hit, Missing, Refused, Malformed, Mismatch };
// Parses a whole file; the key line must equal key. Hit fills item.
Read parse_body(std::string_view text, const std::string &key, AddrItem &item);

// Reads the entry of key (Missing when there is none).
Read read_entry(const std::string &cache_dir, const AddrKey &key, int bits, AddrItem &item);
// Reads any entry file with the same checks, taking its key line as it is.
Read read_file(const std::string &path, std::string &key, AddrItem &item);
// Entry directories found sound are not looked at again for 10 seconds;
// this forgets them (tests that change a directory's mode).
void forget_trusted_dirs();
// Writes it; 0 or a vnet status (logged; nothing is left behind).
int write_entry(const std::string &cache_dir, const AddrKey &key, int bits, const AddrItem &item);

} // namespace zt::vnet::filecache
