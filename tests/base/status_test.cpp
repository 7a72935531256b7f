#include <cctype>
#include <cstring>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/zt_status.h"
#include "ztbase/status.h"

namespace {

struct Catalogue {
    const char *name;
    const char *const *rows;
    int first, last;
};

const Catalogue kCatalogues[] = {
#define ZT_ROW(name, first, last) {#name, name, first, last},
    ZTBASE_STATUS_CATALOGUES(ZT_ROW)
#undef ZT_ROW
};

bool empty_row_expected(int code) {
    return code == 2869 || (code >= 5631 && code <= 5679) || (code >= 5686 && code <= 5699);
}

TEST(StatusCatalogues, LayoutRowsAndEmptyRowsAreExact) {
    ASSERT_EQ(std::size(kCatalogues), 43u);
    int rows = 0, empty = 0, previous_last = -1;
    for (const Catalogue &c : kCatalogues) {
        EXPECT_GT(c.first, previous_last) << c.name << ": ranges ascend and never overlap";
        previous_last = c.last;
        for (int code = c.first; code <= c.last; ++code, ++rows) {
            const char *text = c.rows[code - c.first];
            EXPECT_EQ(text == nullptr, empty_row_expected(code)) << c.name << " row " << code;
            if (text == nullptr) {
                ++empty;
                continue;
            }
            EXPECT_GT(strlen(text), 8u) << code;
            for (const char *p = text; *p != '\0'; ++p)
                EXPECT_TRUE(isprint(static_cast<unsigned char>(*p))) << code << ": " << text;
        }
    }
    EXPECT_EQ(rows, 1835);
    EXPECT_EQ(empty, 64);
}

TEST(StatusCatalogues, TextsAreSentencesNotPlaceholders) {
    const std::regex placeholder(R"((^|\s)(error|status|code|reserved)\s*#?\d+$)",
                                 std::regex::icase);
    for (const Catalogue &c : kCatalogues) {
        std::set<std::string> seen;
        for (int code = c.first; code <= c.last; ++code) {
            const char *text = c.rows[code - c.first];
            if (text == nullptr)
                continue;
            std::string s(text);
            if (s.rfind("unimplemented error code ", 0) == 0) {
                EXPECT_EQ(s, "unimplemented error code " + std::to_string(code));
                continue;
            }
            EXPECT_FALSE(std::regex_search(s, placeholder)) << code << ": " << s;
            EXPECT_TRUE(seen.insert(s).second) << c.name << " repeats \"" << s << "\" at " << code;
        }
    }
    int unimplemented = 0;
    for (int code = 0; code <= 255; ++code)
        unimplemented += strncmp(errmsgstr[code], "unimplemented error code", 24) == 0;
    EXPECT_EQ(unimplemented, 5);
}

TEST(StatusCatalogues, WarningsStartWithTheirMarker) {
    for (int code = 5680; code <= 5685; ++code)
        EXPECT_EQ(strncmp(getECmsg(code), "WARNING: ", 9), 0) << code;
}

struct Quoted {
    int code;
    const char *text;
};

TEST(GetECmsg, QuotedRowsAndInvalidCodes) {
    const Quoted cases[] = {
        {0, "the requested operation was successfully completed"},
        {1, "the requested operation was partially successful"},
        {2, "none of the requested files were backed up"},
        {10, "allocation failed"},
        {11, "system call failed"},
        {12, "file open failed"},
        {13, "file read failed"},
        {14, "file write failed"},
        {15, "file close failed"},
        {16, "unimplemented feature"},
        {19, "getservbyname failed"},
        {20, "invalid command parameter"},
        {21, "socket open failed"},
        {22, "socket close failed"},
        {23, "socket read failed"},
        {24, "socket write failed"},
        {25, "cannot connect on socket"},
        {26, "client/server handshaking failed"},
        {35, "cannot make required directory"},
        {36, "failed trying to allocate memory"},
        {37, "operation requested by an invalid server"},
        {39, "client name mismatch"},
        {40, "network connection broken"},
        {41, "network connection timed out"},
        {42, "network read failed"},
        {43, "unexpected message received"},
        {44, "network write failed"},
        {46, "server not allowed access"},
        {47, "host is unreachable"},
        {48, "client hostname could not be found"},
        {54, "timed out connecting to client"},
        {57, "client connection refused"},
        {58, "can't connect to client"},
        {59, "access to the client was not allowed"},
        {61, "the vnetd proxy encountered an error"},
        {62, "the vnetd outbound proxy encountered an error"},
        {110, "Cannot find the Zentor configuration information"},
        {111, "No entry was found in the server list"},
        {114, "unimplemented error code 114"},
        {115, "unimplemented error code 115"},
        {116, "HxSS authentication failed"},
        {130, "system error occurred"},
        {133, "invalid request"},
        {160, "authentication failed"},
        {187, "unimplemented error code 187"},
        {188, "unimplemented error code 188"},
        {227, "no entity was found"},
        {232, "a protocol error has occurred"},
        {233, "premature eof encountered"},
        {235, "inadequate buffer space"},
        {252, "extended error status has been encountered, check logs"},
        {254, "server name not found in the Zentor configuration"},
        {255, "unimplemented error code 255"},
        // first rows of the other catalogues
        {256, "logic error encountered"},
        {360, "Auditing internal failure"},
        {400, "Server Group Type is Invalid"},
        {600, "an exception condition occurred"},
        {800, "resource request failed"},
        {900, "retry ztrb request later"},
        {1000, "client is offline"},
        {1200, "Internal error"},
        {1400, "Internal error"},
        {1500, "storage unit does not exist or can't be used where specified"},
        {1700, "Internal Resolver error"},
        {1800, "invalid client list"},
        {1900, "Unknown command type specified"},
        {2000, "No media is available"},
        {2501, "Invalid pattern"},
        {2800, "Standard policy restore error"},
        {4200, "Operation failed: Unable to acquire snapshot lock"},
        {5000, "Indexing Service Internal Failure"},
        {5200, "ASC Internal Failure"},
        {5501, "Supplied URI is too short"},
        {5700, "Logging Assistant record created"},
        {5900, "The certificate is not valid."},
        {6000, "The provided path is not whitelisted"},
        {6500, "Operation GUID not specified"},
        {6601, "One or more of the input parameters or arguments are invalid."},
        {7500, "Internal error"},
        {7600, "An unknown internal error occurred"},
        {8000, "User does not have permission(s) to perform the requested operation"},
        {8500, "Connection with the web service was not established."},
        {8600, "Direct resource access is forbidden."},
        {8701, "The host does not exist."},
        {8800, "Communication with EMM failed."},
        {8901, "The mapping name that was provided does not exist."},
        {9000, "No Audit Record was found."},
        {9101, "Failed to lock file."},
        {9102, "Failed to unlock file."},
        {9300, "Failed to encode certificate revocation list."},
        // no text: negative, gaps, empty rows, beyond the last range
        {-1, "invalid error number"},
        {-2147483647 - 1, "invalid error number"},
        {352, "invalid error number"},
        {1801, "invalid error number"},
        {2869, "invalid error number"},
        {5631, "invalid error number"},
        {5679, "invalid error number"},
        {5686, "invalid error number"},
        {5699, "invalid error number"},
        {9310, "invalid error number"},
        {2147483647, "invalid error number"},
    };
    for (const Quoted &q : cases)
        EXPECT_STREQ(getECmsg(q.code), q.text) << q.code;
}

TEST(GetECmsgl, NullLocaleGivesTheConstantText) {
    EXPECT_EQ(getECmsgl(36, nullptr), getECmsg(36));
    const char *out = getECmsgl(9310, nullptr);
    EXPECT_NE(out, getECmsg(9310)); // the thread's buffer
    EXPECT_STREQ(out, "invalid error number");
}

TEST(GetECmsgl, LocaleFallsBackToEnglishAndReusesTheThreadBuffer) {
    const char *first = getECmsgl(41, "de");
    EXPECT_STREQ(first, "network connection timed out");
    const char *second = getECmsgl(2869, "de");
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "invalid error number");
    EXPECT_STREQ(getECmsgl(5679, "fr"), "invalid error number");
    // Resolver texts are never localised: the constant row comes back.
    EXPECT_EQ(getECmsgl(1700, "de"), getECmsg(1700));
    EXPECT_EQ(getECmsgl(1701, "de"), getECmsg(1701));
}

TEST(GetECmsgl, EachThreadHasItsOwnBuffer) {
    const char *mine = getECmsgl(12, "C");
    const char *theirs = nullptr;
    std::string their_text;
    std::thread t([&] {
        theirs = getECmsgl(13, "C");
        their_text = theirs;
    });
    t.join();
    EXPECT_NE(mine, theirs);
    EXPECT_STREQ(mine, "file open failed");
    EXPECT_EQ(their_text, "file read failed");
}

TEST(ErrMsgStr, SuffixesAndTruncation) {
    EXPECT_STREQ(ERR_ZTmsgstr(25, getECmsg(25)), "cannot connect on socket (ZT:25)");
    std::string long_text(2000, 'x');
    const char *cut = ERR_ZTmsgstr(25, long_text.c_str());
    EXPECT_EQ(strlen(cut), 1023u);
    EXPECT_EQ(std::string(cut), std::string(1023, 'x'));
    EXPECT_EQ(std::string(ERR_SYSmsgstr(2)), std::string(strerror(2)) + " (SYS:2)");
    EXPECT_NE(static_cast<const void *>(ERR_SYSmsgstr(2)),
              static_cast<const void *>(ERR_ZTmsgstr(1, "a")));
}

TEST(ECMsgL, OwnsItsCopy) {
    ECMsgL deflt;
    EXPECT_STREQ(deflt.c_str(), getECmsg(666));
    ECMsgL m(36, nullptr);
    EXPECT_STREQ(m.c_str(), "failed trying to allocate memory");
    ECMsgL copy(m);
    m.set(41, "C");
    EXPECT_STREQ(copy.c_str(), "failed trying to allocate memory");
    EXPECT_STREQ(m.c_str(), "network connection timed out");
    copy = m;
    ECMsgL &self = copy;
    copy = self; // self-assignment keeps the text
    EXPECT_STREQ(copy.c_str(), "network connection timed out");
    EXPECT_NE(copy.c_str(), m.c_str());
    std::ostringstream os;
    os << getECmsgl_ts(0, nullptr);
    EXPECT_EQ(os.str(), "the requested operation was successfully completed");
}

} // namespace

TEST(StatusNames, EveryNameTheLibraryReturnsHasItsOwnText) {
    for (int code : zt::status::kAllNamed) {
        EXPECT_STRNE(getECmsg(code), "invalid error number") << code;
        EXPECT_STRNE(getECmsg(code), "") << code;
    }
}
