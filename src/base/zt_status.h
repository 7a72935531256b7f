/* Names for the product statuses the library itself returns. The numbers are
 * the catalogue's (zt status N prints the text); tests/frame/status_test.cpp
 * checks that every name here has a text of its own. Add a name here before
 * returning a new number anywhere in the library. */
#ifndef ZTBASE_FRAME_ZT_STATUS_H
#define ZTBASE_FRAME_ZT_STATUS_H

namespace zt::status {

inline constexpr int kOk = 0;
inline constexpr int kAllocFailed = 10;        /* allocation failed */
inline constexpr int kSystemCallFailed = 11;   /* system call failed */
inline constexpr int kFileOpenFailed = 12;     /* file open failed */
inline constexpr int kFileReadFailed = 13;     /* file read failed */
inline constexpr int kFileWriteFailed = 14;    /* file write failed */
inline constexpr int kFileCloseFailed = 15;    /* file close failed */
inline constexpr int kUnimplemented = 16;      /* unimplemented feature */
inline constexpr int kInvalidParameter = 20;   /* invalid command parameter */
inline constexpr int kSocketOpenFailed = 21;   /* socket open failed */
inline constexpr int kSocketCloseFailed = 22;  /* socket close failed */
inline constexpr int kSocketReadFailed = 23;   /* socket read failed */
inline constexpr int kSocketWriteFailed = 24;  /* socket write failed */
inline constexpr int kCannotConnect = 25;      /* cannot connect on socket */
inline constexpr int kHandshakeFailed = 26;    /* client/server handshaking failed */
inline constexpr int kChildFailed = 27;        /* a child process did not finish normally */
inline constexpr int kCannotMakeDir = 35;      /* cannot make required directory */
inline constexpr int kNoMemory = 36;           /* failed trying to allocate memory */
inline constexpr int kInvalidServer = 37;      /* operation requested by an invalid server */
inline constexpr int kConnectionBroken = 40;   /* network connection broken */
inline constexpr int kNetworkTimeout = 41;     /* network connection timed out */
inline constexpr int kNetworkReadFailed = 42;  /* network read failed */
inline constexpr int kUnexpectedMessage = 43;  /* unexpected message received */
inline constexpr int kNetworkWriteFailed = 44; /* network write failed */
inline constexpr int kNoConfig = 110;        /* Cannot find the Zentor configuration information */
inline constexpr int kNoServerEntry = 111;   /* No entry was found in the server list */
inline constexpr int kNotYetSupported = 113; /* the requested operation is not yet supported */
inline constexpr int kValueTooLong = 119;    /* the value does not fit in the supplied buffer */
inline constexpr int kSystemError = 130;     /* system error occurred */
inline constexpr int kAddressInUse = 134;    /* the address or port is already in use */
inline constexpr int kNoSuchFile = 142;      /* the file or directory does not exist */
inline constexpr int kRequiredValueMissing = 152; /* a required value was not supplied */
inline constexpr int kLockFailed = 158;           /* failed to obtain a lock */
inline constexpr int kInvalidValue = 223;         /* an invalid value was specified */
inline constexpr int kTextCut = 225;              /* the text was cut short to fit the buffer */
inline constexpr int kNoEntity = 227;             /* no entity was found */
inline constexpr int kBufferTooSmall = 235;       /* inadequate buffer space */

/* Every name above, for the test that keeps them honest. */
inline constexpr int kAllNamed[] = {
    kOk,
    kAllocFailed,
    kSystemCallFailed,
    kFileOpenFailed,
    kFileReadFailed,
    kFileWriteFailed,
    kFileCloseFailed,
    kUnimplemented,
    kInvalidParameter,
    kSocketOpenFailed,
    kSocketCloseFailed,
    kSocketReadFailed,
    kSocketWriteFailed,
    kCannotConnect,
    kHandshakeFailed,
    kChildFailed,
    kCannotMakeDir,
    kNoMemory,
    kInvalidServer,
    kConnectionBroken,
    kNetworkTimeout,
    kNetworkReadFailed,
    kUnexpectedMessage,
    kNetworkWriteFailed,
    kNoConfig,
    kNoServerEntry,
    kSystemError,
    kAddressInUse,
    kNoSuchFile,
    kLockFailed,
    kNoEntity,
    kNotYetSupported,
    kInvalidValue,
    kTextCut,
    kBufferTooSmall,
    kValueTooLong,
    kRequiredValueMissing,
};

} // namespace zt::status

#endif
