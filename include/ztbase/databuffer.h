// Message building blocks of the event utilities: a growable byte buffer with
// separate read and write offsets, the big-endian wire forms of integers and
// strings, typed default values, and the process's locale information with
// per-thread scratch buffers. C++ only.
#pragma once

#ifndef __cplusplus
#error "ztbase/databuffer.h is a C++ header: include it from C++ only"
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <ztbase/export.h>

// A growable byte buffer. Unread bytes lie between the start (read) offset and
// the end (write) offset:
//
//     0 <= start <= end <= size, and start == end only when both are 0.
//
// A copy duplicates the storage; a moved-from buffer has no storage (size 0)
// and grows again on the next append. Allocation failures, and sizes that
// cannot be represented, throw std::bad_alloc; the buffer is then unchanged.
// Not thread-safe: one owner at a time.
class ZTBASE_API DataBuffer {
  public:
    explicit DataBuffer(uint64_t size);
    DataBuffer(const DataBuffer &other);
    DataBuffer &operator=(const DataBuffer &other);
    DataBuffer(DataBuffer &&other) noexcept;
    DataBuffer &operator=(DataBuffer &&other) noexcept;
    virtual ~DataBuffer();

    char *getDataPtr() const { return data_; }
    char *getStartDataPtr() const { return data_ + start_; }
    char *getEndDataPtr() const { return data_ + end_; }
    uint64_t getDataAvail() const { return end_ - start_; } // unread bytes
    uint64_t getDataFree() const { return size_ - end_; }   // room after the end
    uint64_t getBufferSize() const { return size_; }
    uint64_t getStartOffset() const { return start_; }
    uint64_t getEndOffset() const { return end_; }
    bool empty() const { return end_ == 0; }
    void reset() { start_ = end_ = 0; }

    // maybeCompact compacts when start / size exceeds the compaction factor
    // (default 0.8); grow multiplies the size by the growth factor (default 1.6).
    void setCompactionFactor(float factor) { compactionFactor_ = factor; }
    void setGrowthFactor(float factor) { growthFactor_ = factor; }

    // Marks n bytes as read. Reading past the unread bytes stops at the end;
    // once everything is read both offsets return to 0.
    void bumpStartOffset(uint64_t n);
    // Marks n bytes written at getEndDataPtr() as data (at most up to the size).
    void bumpEndOffset(uint64_t n);

    // Moves the unread bytes to the front.
    void compact();
    void maybeCompact();
    // New storage of size x growth factor (truncated) holding the unread bytes at
    // offset 0; nothing happens when that size would be smaller than the current one.
    void grow();
    // The same with size n; nothing happens when n is smaller than the current size.
    void resize(uint64_t n);

    // Copies n bytes after the unread ones, growing as often as needed. When
    // growing by the factor cannot make room (a factor of 1 or less, a size of
    // 0), the storage is made exactly large enough instead.
    void appendData(const void *bytes, uint64_t n) {
        if (n != 0 && n <= size_ - end_) {
            __builtin_memcpy(data_ + end_, bytes, n);
            end_ += n;
            return;
        }
        appendGrowing(bytes, n);
    }

  private:
    void appendGrowing(const void *bytes, uint64_t n);
    void move_to_new_storage(uint64_t new_size);

    uint64_t size_ = 0;
    uint64_t start_ = 0;
    uint64_t end_ = 0;
    char *data_ = nullptr;
    float compactionFactor_ = 0.8f;
    float growthFactor_ = 1.6f;
};

// Big-endian wire forms written at a moving pointer. Every function takes the
// pointer and the count of bytes still available by reference, advances the
// one and decreases the other by what it wrote or read.
//
//   short                2 bytes
//   long                 4 bytes (a 32-bit integer)
//   long long            8 bytes, high 32-bit word first, each word big-endian
//   long long "Jobd"     8 bytes, low 32-bit word first, each word big-endian
//   string (marshall)    4-byte length n, n bytes, zero bytes up to a multiple of 4
//   string with length   4-byte length n, n bytes
//   string without length  n bytes
//   vector of strings    4-byte count, then each string in the padded form
//   vector of integers   4-byte count, then each integer as a long
//
// Lengths and counts are unsigned 32-bit numbers. When fewer bytes are
// available than a value needs (a reader also checks the length or count it
// read against what is left), the function throws std::invalid_argument with
// "dataAvail too small" and changes nothing: no byte is written, the pointer,
// the count and the output stay as they were. Never reads or writes outside
// [pointer, pointer + available).
class ZTBASE_API Serializable {
  public:
    // The fixed-size forms are inline: they sit in every message loop.
    static void marshallShort(int16_t value, char *&data, size_t &dataAvail) {
        need(2, dataAvail);
        uint16_t v = __builtin_bswap16(static_cast<uint16_t>(value));
        __builtin_memcpy(data, &v, 2);
        data += 2;
        dataAvail -= 2;
    }
    static void marshallLong(int32_t value, char *&data, size_t &dataAvail) {
        need(4, dataAvail);
        put32(data, static_cast<uint32_t>(value));
        data += 4;
        dataAvail -= 4;
    }
    static void marshallLongLong(int64_t value, char *&data, size_t &dataAvail) {
        need(8, dataAvail);
        put32(data, static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32));
        put32(data + 4, static_cast<uint32_t>(value));
        data += 8;
        dataAvail -= 8;
    }
    static void marshallLongLongJobd(int64_t value, char *&data, size_t &dataAvail) {
        need(8, dataAvail);
        put32(data, static_cast<uint32_t>(value));
        put32(data + 4, static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32));
        data += 8;
        dataAvail -= 8;
    }
    static void marshall(const std::string &text, char *&data, size_t &dataAvail) {
        const size_t n = text.size();
        const size_t pad = (4 - (n & 3)) & 3;
        if (n > UINT32_MAX || 4 + n + pad > dataAvail) [[unlikely]]
            tooSmall();
        put32(data, static_cast<uint32_t>(n));
        if (n != 0)
            __builtin_memcpy(data + 4, text.data(), n);
        for (size_t i = 0; i < pad; ++i)
            data[4 + n + i] = 0;
        data += 4 + n + pad;
        dataAvail -= 4 + n + pad;
    }
    static void marshallWithLength(const std::string &text, char *&data, size_t &dataAvail) {
        const size_t n = text.size();
        if (n > UINT32_MAX || dataAvail < 4 || n > dataAvail - 4) [[unlikely]]
            tooSmall();
        put32(data, static_cast<uint32_t>(n));
        if (n != 0)
            __builtin_memcpy(data + 4, text.data(), n);
        data += 4 + n;
        dataAvail -= 4 + n;
    }
    static void marshallNoLength(const std::string &text, char *&data, size_t &dataAvail);
    static void marshall(const std::vector<std::string> &texts, char *&data, size_t &dataAvail);
    static void marshall(const std::vector<int32_t> &values, char *&data, size_t &dataAvail) {
        const size_t count = values.size();
        if (count > UINT32_MAX || dataAvail < 4 || count > (dataAvail - 4) / 4) [[unlikely]]
            tooSmall();
        put32(data, static_cast<uint32_t>(count));
        for (size_t i = 0; i < count; ++i)
            put32(data + 4 + 4 * i, static_cast<uint32_t>(values[i]));
        data += 4 + 4 * count;
        dataAvail -= 4 + 4 * count;
    }

    static int16_t unmarshallShort(const char *&data, size_t &dataAvail) {
        need(2, dataAvail);
        uint16_t v;
        __builtin_memcpy(&v, data, 2);
        data += 2;
        dataAvail -= 2;
        return static_cast<int16_t>(__builtin_bswap16(v));
    }
    static int32_t unmarshallLong(const char *&data, size_t &dataAvail) {
        need(4, dataAvail);
        uint32_t v = get32(data);
        data += 4;
        dataAvail -= 4;
        return static_cast<int32_t>(v);
    }
    static int64_t unmarshallLongLong(const char *&data, size_t &dataAvail) {
        need(8, dataAvail);
        uint64_t v = (uint64_t{get32(data)} << 32) | get32(data + 4);
        data += 8;
        dataAvail -= 8;
        return static_cast<int64_t>(v);
    }
    static int64_t unmarshallLongLongJobd(const char *&data, size_t &dataAvail) {
        need(8, dataAvail);
        uint64_t v = (uint64_t{get32(data + 4)} << 32) | get32(data);
        data += 8;
        dataAvail -= 8;
        return static_cast<int64_t>(v);
    }
    // The next long without consuming it; std::invalid_argument "no length"
    // when fewer than 4 bytes are available.
    static int32_t unmarshallLongNoConsume(const char *data, size_t dataAvail);
    static void unmarshall(std::string &text, const char *&data, size_t &dataAvail);
    static void unmarshallWithLength(std::string &text, const char *&data, size_t &dataAvail);
    // Reads `length` bytes.
    static void unmarshallNoLength(std::string &text, size_t length, const char *&data,
                                   size_t &dataAvail);
    // The vectors' items replace the output's contents.
    static void unmarshall(std::vector<std::string> &texts, const char *&data, size_t &dataAvail);
    static void unmarshall(std::vector<int32_t> &values, const char *&data, size_t &dataAvail);

    // The same readers for a pointer to writable bytes.
    static int16_t unmarshallShort(char *&data, size_t &dataAvail) { return by_const(unmarshallShort_c, data, dataAvail); }
    static int32_t unmarshallLong(char *&data, size_t &dataAvail) { return by_const(unmarshallLong_c, data, dataAvail); }
    static int64_t unmarshallLongLong(char *&data, size_t &dataAvail) { return by_const(unmarshallLongLong_c, data, dataAvail); }
    static int64_t unmarshallLongLongJobd(char *&data, size_t &dataAvail) { return by_const(unmarshallLongLongJobd_c, data, dataAvail); }
    template <class T> static void unmarshall(T &out, char *&data, size_t &dataAvail) {
        const char *p = data;
        unmarshall(out, p, dataAvail);
        data += p - data;
    }
    static void unmarshallWithLength(std::string &text, char *&data, size_t &dataAvail) {
        const char *p = data;
        unmarshallWithLength(text, p, dataAvail);
        data += p - data;
    }
    static void unmarshallNoLength(std::string &text, size_t length, char *&data, size_t &dataAvail) {
        const char *p = data;
        unmarshallNoLength(text, length, p, dataAvail);
        data += p - data;
    }

    // alignment - (length mod alignment), 0 when length is aligned (or the alignment is 0).
    static size_t getNeededPad(size_t length, size_t alignment);
    // Appends zero bytes to text up to the alignment.
    static void padd(std::string &text, size_t alignment);

  private:
    // Throws std::invalid_argument "dataAvail too small".
    [[noreturn]] static void tooSmall();
    static void need(size_t bytes, size_t avail) {
        if (bytes > avail) [[unlikely]]
            tooSmall();
    }
    static void put32(char *p, uint32_t v) {
        v = __builtin_bswap32(v);
        __builtin_memcpy(p, &v, 4);
    }
    static uint32_t get32(const char *p) {
        uint32_t v;
        __builtin_memcpy(&v, p, 4);
        return __builtin_bswap32(v);
    }
    static int16_t unmarshallShort_c(const char *&d, size_t &a) { return unmarshallShort(d, a); }
    static int32_t unmarshallLong_c(const char *&d, size_t &a) { return unmarshallLong(d, a); }
    static int64_t unmarshallLongLong_c(const char *&d, size_t &a) { return unmarshallLongLong(d, a); }
    static int64_t unmarshallLongLongJobd_c(const char *&d, size_t &a) { return unmarshallLongLongJobd(d, a); }
    template <class R> static R by_const(R (*fn)(const char *&, size_t &), char *&data, size_t &avail) {
        const char *p = data;
        R value = fn(p, avail);
        data += p - data;
        return value;
    }
};

// A default value of one of four kinds. A request in the value's own kind
// returns it; a request in another kind returns -1 (getI, getL), 0 (getU) or
// false (getB). The constructors convert the value to the tagged kind.
class ZTBASE_API DefaultValue {
  public:
    enum valType { INT_VAL, LONG_VAL, UNSIGNED_VAL, BOOL_VAL };

    DefaultValue(valType type, int value);
    DefaultValue(valType type, long value);
    DefaultValue(valType type, unsigned value);
    DefaultValue(valType type, bool value);

    valType getType() const { return type_; }
    int getI() const;
    long getL() const;
    unsigned getU() const;
    bool getB() const;

  private:
    void store(long long value);
    valType type_;
    int i_ = 0;
    long l_ = 0;
    unsigned u_ = 0;
    bool b_ = false;
};

// The process's locale information, taken once at the first Instance() call
// from the program's current locale (setlocale), and per-thread scratch buffers.
class ZTBASE_API Env {
  public:
    static Env &Instance();

    // Names of the locale's categories, and its character set (nl_langinfo CODESET).
    const char *lc_ctype() const { return ctype_.c_str(); }
    const char *lc_time() const { return time_.c_str(); }
    const char *lc_collate() const { return collate_.c_str(); }
    const char *lc_numeric() const { return numeric_.c_str(); }
    const char *lc_langinfo() const { return codeset_.c_str(); }

    // The calling thread's scratch buffers: buf_size() UTF-16 units and
    // buf_size() bytes, valid for the life of the thread.
    char16_t *buf();
    char *bufc();
    size_t buf_size() const;

    // Text between the locale's character set and UTF-8 (through ICU). length
    // is in bytes; (size_t)-1 means up to the terminating zero. Bytes that
    // cannot be converted become the target's substitute character; an empty
    // string comes back (and the failure is logged) when no converter exists.
    std::string convertLocaleToUTF8(const char *text, size_t length) const;
    std::string convertUTF8ToLocale(const char *text, size_t length) const;

  private:
    Env();
    ~Env() = default;
    Env(const Env &) = delete;
    Env &operator=(const Env &) = delete;

    std::string ctype_, time_, collate_, numeric_, codeset_;
};
