// Stream: byte streams (read, write, seek, 64-bit size) and the growable in-memory stream.
#pragma once

#include "platform/rtl/UninitializedAllocator.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rtl {

enum class TSeekOrigin : std::uint8_t { soBeginning, soCurrent, soEnd };

/// A sequential byte stream. Descendants implement Read, Write and Seek; the rest is built on
/// them. One thread at a time, no lock.
class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    /// Reads up to Count bytes; returns how many were read (0 at the end).
    virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
    /// Writes up to Count bytes; returns how many were written.
    virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
    /// Moves the position; returns the new position. Throws EStreamError when the stream
    /// cannot seek there.
    virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;
    /// The stream's size. The generic form seeks to the end and back.
    virtual std::int64_t Size();
    /// Throws EStreamError unless the descendant can be resized.
    virtual void SetSize(std::int64_t NewSize);

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t Value) { Seek(Value, TSeekOrigin::soBeginning); }

    /// Reads exactly Count bytes or throws EReadError.
    void ReadExact(void* Buffer, std::int64_t Count);
    /// Writes exactly Count bytes or throws EWriteError.
    void WriteAll(const void* Buffer, std::int64_t Count);
    void WriteAll(std::string_view Bytes) { WriteAll(Bytes.data(), std::int64_t(Bytes.size())); }
    /// Copies Count bytes from Source's position; Count 0 copies all of Source from position 0.
    /// Returns the count copied. Throws EReadError when Source ends early.
    std::int64_t CopyFrom(TStream& Source, std::int64_t Count);
};

/// Growable in-memory stream. The bytes are contiguous and reachable through Memory().
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string_view Bytes);

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    std::int64_t Size() override { return std::int64_t(FData.size()); }
    /// Grows with zero bytes or truncates; a position beyond the new end moves to it.
    void SetSize(std::int64_t NewSize) override;

    void Clear();
    std::uint8_t* Memory() { return FData.data(); }
    const std::uint8_t* Memory() const { return FData.data(); }
    std::span<const std::uint8_t> Bytes() const { return FData; }
    /// The whole content as 8-bit text (position unchanged).
    std::string_view View() const {
        return {reinterpret_cast<const char*>(FData.data()), FData.size()};
    }
    std::string DataString() const { return std::string(View()); }
    /// Replaces the content with all of Source (read from position 0); position 0 afterwards.
    void LoadFromStream(TStream& Source);
    /// Writes the whole content to Destination at its position.
    void SaveToStream(TStream& Destination) const;
    /// Reserves room for Capacity bytes without changing the size.
    void Reserve(std::int64_t Capacity);
    /// Grows the stream by Count bytes that the caller writes itself (they are not zero-filled)
    /// and returns their address; the position is unchanged. Throws EStreamError like SetSize.
    std::uint8_t* Extend(std::int64_t Count);

private:
    /// Grows to Size, zero-filling the new bytes.
    void GrowZeroed(std::size_t Size);

    std::vector<std::uint8_t, TUninitializedAllocator<std::uint8_t>> FData;
    std::int64_t FPosition = 0;
};

} // namespace rtl
