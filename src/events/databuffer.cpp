// DataBuffer: the storage is owned by exactly one object; every size change
// copies the unread bytes to offset 0 of fresh storage, so a failed allocation
// leaves the buffer as it was.
#include <ztbase/databuffer.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace {
// The largest storage asked for; larger sizes throw std::bad_alloc at once.
constexpr uint64_t kMaxSize = std::numeric_limits<ptrdiff_t>::max() / 2;
} // namespace

namespace {

// Storage comes from malloc, so that growing a buffer whose unread bytes start
// at offset 0 can extend the block in place (realloc) instead of copying it.
char *allocate(uint64_t size) {
    if (size > kMaxSize)
        throw std::bad_alloc();
    void *p = std::malloc(size == 0 ? 1 : size);
    if (!p)
        throw std::bad_alloc();
    return static_cast<char *>(p);
}

} // namespace

DataBuffer::DataBuffer(uint64_t size) : size_(size), data_(allocate(size)) {}

DataBuffer::DataBuffer(const DataBuffer &other)
    : size_(other.size_), start_(other.start_), end_(other.end_), data_(allocate(other.size_)),
      compactionFactor_(other.compactionFactor_), growthFactor_(other.growthFactor_) {
    std::memcpy(data_ + start_, other.data_ + start_, end_ - start_);
}

DataBuffer &DataBuffer::operator=(const DataBuffer &other) {
    if (this != &other) {
        DataBuffer copy(other);
        *this = std::move(copy);
    }
    return *this;
}

DataBuffer::DataBuffer(DataBuffer &&other) noexcept
    : size_(std::exchange(other.size_, 0)), start_(std::exchange(other.start_, 0)),
      end_(std::exchange(other.end_, 0)), data_(std::exchange(other.data_, nullptr)),
      compactionFactor_(other.compactionFactor_), growthFactor_(other.growthFactor_) {}

DataBuffer &DataBuffer::operator=(DataBuffer &&other) noexcept {
    if (this != &other) {
        std::free(data_);
        size_ = std::exchange(other.size_, 0);
        start_ = std::exchange(other.start_, 0);
        end_ = std::exchange(other.end_, 0);
        data_ = std::exchange(other.data_, nullptr);
        compactionFactor_ = other.compactionFactor_;
        growthFactor_ = other.growthFactor_;
    }
    return *this;
}

DataBuffer::~DataBuffer() { std::free(data_); }

void DataBuffer::bumpStartOffset(uint64_t n) {
    // Never past the written bytes: a start beyond the end would make the
    // unread count wrap around.
    start_ = n >= end_ - start_ ? end_ : start_ + n;
    if (start_ == end_)
        start_ = end_ = 0;
}

void DataBuffer::bumpEndOffset(uint64_t n) { end_ = n >= size_ - end_ ? size_ : end_ + n; }

void DataBuffer::compact() {
    if (start_ == 0)
        return;
    std::memmove(data_, data_ + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
}

void DataBuffer::maybeCompact() {
    if (start_ != 0 && size_ != 0 &&
        static_cast<double>(start_) / static_cast<double>(size_) > compactionFactor_)
        compact();
}

void DataBuffer::move_to_new_storage(uint64_t new_size) {
    if (new_size > kMaxSize)
        throw std::bad_alloc();
    uint64_t avail = end_ - start_;
    if (start_ == 0 && data_) {
        void *grown = std::realloc(data_, new_size == 0 ? 1 : new_size);
        if (!grown)
            throw std::bad_alloc();
        data_ = static_cast<char *>(grown);
        size_ = new_size;
        return;
    }
    char *fresh = allocate(new_size);
    if (avail != 0)
        std::memcpy(fresh, data_ + start_, avail);
    std::free(data_);
    data_ = fresh;
    size_ = new_size;
    start_ = 0;
    end_ = avail;
}

void DataBuffer::grow() {
    double wanted = static_cast<double>(size_) * static_cast<double>(growthFactor_);
    // A factor that is not a number, or a product beyond 64 bits, cannot be a size.
    if (!(wanted >= 0.0) || wanted >= 18446744073709551616.0)
        throw std::bad_alloc();
    uint64_t new_size = static_cast<uint64_t>(wanted);
    if (new_size >= size_)
        move_to_new_storage(new_size);
}

void DataBuffer::resize(uint64_t n) {
    if (n >= size_)
        move_to_new_storage(n);
}

void DataBuffer::appendGrowing(const void *bytes, uint64_t n) {
    if (n == 0)
        return;
    // A size no allocation can give is refused before any growing.
    if (n > kMaxSize - getDataAvail())
        throw std::bad_alloc();
    while (getDataFree() < n) {
        uint64_t before = size_;
        grow();
        if (getDataFree() >= n)
            break;
        if (size_ <= before) {
            // The factor cannot make room: make exactly what is needed.
            uint64_t avail = getDataAvail();
            if (n > std::numeric_limits<uint64_t>::max() - avail)
                throw std::bad_alloc();
            move_to_new_storage(std::max(avail + n, size_));
            break;
        }
    }
    std::memcpy(data_ + end_, bytes, n);
    end_ += n;
}
