// The port exchange's two wire formats, in one place for the exchange and the
// client library: the hello a client sends over TCP and the reply it gets, and
// the control messages between the exchange and its registered servers over
// a local SOCK_SEQPACKET connection. README.md beside this file describes them
// for people; this header is what both sides compile.
//
// Integers are big-endian. Every parser takes bytes from outside and never
// reads past the length it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

namespace ztpbx::proto {

// The protocol version this build speaks (the hello, the reply and control).
constexpr uint8_t kVersion = 1;

// ---- the hello and its reply (TCP) ----
//
//   hello:  "ZPBX" | u8 client version (>= 1) | u8 N (1..63) | N name bytes
//   reply:  "ZPBX" | u8 status | u8 exchange version
//
// The exchange reads the hello and nothing past it, so every byte a client
// sends after the name stays in the socket for the server. A refusal comes
// from the exchange, which then closes; kConnected comes from the server's
// library once the socket is in the server's hands.
constexpr char kHelloMagic[4] = {'Z', 'P', 'B', 'X'};
constexpr size_t kHelloHeader = 6;   // magic, version, length
constexpr size_t kMaxExtension = 63; // bytes of an extension name
constexpr size_t kMaxHello = kHelloHeader + kMaxExtension;
constexpr size_t kReplySize = 6;

enum ReplyStatus : uint8_t {
    kConnected = 0,   // switched: the server holds the connection
    kNoExtension = 1, // no server registered under the extension
    kBusy = 2,        // the server has its cap of hand-overs waiting
    kBadRequest = 3,  // not a hello, or a bad name
    kBadVersion = 4,  // version 0
};

// Whether a name is a valid extension: 1..63 bytes of letters, digits, '.',
// '_' and '-' (so no NUL, no '/', nothing a path or a log line could trip on).
bool valid_extension(std::string_view name);

// Reading a hello from its first bytes.
enum class HelloParse {
    kNeedMore, // a valid prefix: *need is the total the hello will have
    kComplete, // the whole hello is in the first *need bytes
    kRefuse,   // *status says why
};
struct Hello {
    uint8_t version = 0;
    std::string extension;
};
// Looks at the first `len` bytes received. Never asks for more than kMaxHello.
HelloParse parse_hello(const uint8_t *data, size_t len, size_t *need, Hello *hello,
                       ReplyStatus *status);
// The hello for an extension (valid_extension must hold).
std::string make_hello(std::string_view extension, uint8_t version = kVersion);
std::string make_reply(ReplyStatus status, uint8_t exchange_version = kVersion);
// A reply of kReplySize bytes: false when it is not one.
bool parse_reply(const uint8_t *data, size_t len, ReplyStatus *status, uint8_t *version);

// ---- control messages (AF_UNIX SOCK_SEQPACKET, one message each) ----
//
//   header:      "ZPBC" | u8 version | u8 type
//   kRegister:   u16 backlog | u8 N | N name bytes            server -> exchange
//   kRegistered: u8 status | u16 TCP port | u8 count |         exchange -> server
//                count x (u8 family 4 or 6 | u16 port | 4 or 16 address bytes)
//   kHandover:   u8 client version, and the client's socket    exchange -> server
//                with SCM_RIGHTS
//   kAccepted:   u32 hand-overs received so far (a running      server -> exchange
//                total, so that a lost one is made good by the next)
//   kList:       nothing                                        any -> exchange
//   kNames:      u16 count | count x (u8 N | N name bytes)      exchange -> asker
//
// The control endpoint of the exchange on TCP port P is the abstract AF_UNIX
// name "ztpbx-P" (control_name).
constexpr char kControlMagic[4] = {'Z', 'P', 'B', 'C'};
constexpr size_t kControlHeader = 6;
constexpr size_t kMaxControl = 16384; // the longest control message
constexpr size_t kMaxAltAddresses = 8;
constexpr uint16_t kMaxBacklog = 128; // the exchange caps a server's backlog here

enum MessageType : uint8_t {
    kRegister = 1,
    kRegistered = 2,
    kHandover = 3,
    kAccepted = 4,
    kList = 5,
    kNames = 6,
};

enum RegisterStatus : uint8_t {
    kRegOk = 0,
    kRegInUse = 1,      // another server holds the extension
    kRegBadRequest = 3, // bad name or message
    kRegBadVersion = 4,
    kRegDenied = 5, // the peer's user may not register
    kRegFull = 6,   // the exchange has its most registrations
};

struct ControlMessage {
    uint8_t version = 0;
    MessageType type = kList;
    // kRegister
    uint16_t backlog = 0;
    std::string name;
    // kRegistered
    RegisterStatus reg_status = kRegOk;
    uint16_t port = 0;
    std::vector<sockaddr_storage> addresses;
    // kHandover
    uint8_t client_version = 0;
    // kAccepted
    uint32_t accepted_total = 0;
    // kNames
    std::vector<std::string> names;
};

// A whole message: false when it is not a well-formed message of this version
// (msg->version tells a version mismatch apart: the header was read).
bool parse_control(const uint8_t *data, size_t len, ControlMessage *msg);
std::string make_register(std::string_view name, uint16_t backlog);
std::string make_registered(RegisterStatus status, uint16_t port,
                            const std::vector<sockaddr_storage> &addresses);
std::string make_handover(uint8_t client_version);
std::string make_accepted(uint32_t total);
std::string make_list();
std::string make_names(const std::vector<std::string> &names);

// "ztpbx-PORT"
std::string control_name(int port);

} // namespace ztpbx::proto
