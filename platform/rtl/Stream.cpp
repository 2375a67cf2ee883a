// Stream: byte streams (read, write, seek, 64-bit size) and the growable in-memory stream.
#include "platform/rtl/Stream.h"

#include "platform/rtl/Exception.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace rtl {

std::int64_t TStream::Size() {
    const std::int64_t Current = Seek(0, TSeekOrigin::soCurrent);
    const std::int64_t End = Seek(0, TSeekOrigin::soEnd);
    Seek(Current, TSeekOrigin::soBeginning);
    return End;
}

void TStream::SetSize(std::int64_t /*NewSize*/) {
    throw EStreamError("Stream size cannot be changed");
}

void TStream::ReadExact(void* Buffer, std::int64_t Count) {
    auto* Target = static_cast<std::uint8_t*>(Buffer);
    while (Count > 0) {
        const std::int64_t Got = Read(Target, Count);
        if (Got <= 0) {
            throw EReadError("Stream read error");
        }
        Target += Got;
        Count -= Got;
    }
}

void TStream::WriteAll(const void* Buffer, std::int64_t Count) {
    const auto* Source = static_cast<const std::uint8_t*>(Buffer);
    while (Count > 0) {
        const std::int64_t Put = Write(Source, Count);
        if (Put <= 0) {
            throw EWriteError("Stream write error");
        }
        Source += Put;
        Count -= Put;
    }
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    constexpr std::int64_t ChunkSize = 64 * 1024;
    std::vector<std::uint8_t> Chunk(std::size_t(std::min(Count, ChunkSize)));
    std::int64_t Copied = 0;
    while (Copied < Count) {
        const std::int64_t Step = std::min(Count - Copied, ChunkSize);
        Source.ReadExact(Chunk.data(), Step);
        WriteAll(Chunk.data(), Step);
        Copied += Step;
    }
    return Copied;
}

TMemoryStream::TMemoryStream(std::string_view Bytes) : FData(Bytes.begin(), Bytes.end()) {
}

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
    const std::int64_t Available = std::int64_t(FData.size()) - FPosition;
    if (Count <= 0 || Available <= 0) {
        return 0;
    }
    const std::int64_t Step = std::min(Count, Available);
    std::memcpy(Buffer, FData.data() + FPosition, std::size_t(Step));
    FPosition += Step;
    return Step;
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) {
        return 0;
    }
    const std::int64_t End = FPosition + Count;
    if (End > std::int64_t(FData.size())) {
        if (std::uint64_t(End) > FData.max_size()) {
            throw EWriteError("Out of memory while expanding memory stream");
        }
        const std::size_t OldSize = FData.size();
        // Geometric growth: many small writes stay linear overall.
        if (std::size_t(End) > FData.capacity()) {
            FData.reserve(std::max(std::size_t(End), FData.capacity() * 2));
        }
        FData.resize(std::size_t(End));
        // Only a gap between the old end and the position is zero-filled; the rest is written
        // below.
        if (std::size_t(FPosition) > OldSize) {
            std::memset(FData.data() + OldSize, 0, std::size_t(FPosition) - OldSize);
        }
    }
    std::memcpy(FData.data() + FPosition, Buffer, std::size_t(Count));
    FPosition = End;
    return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
    std::int64_t Base = 0;
    switch (Origin) {
    case TSeekOrigin::soBeginning:
        Base = 0;
        break;
    case TSeekOrigin::soCurrent:
        Base = FPosition;
        break;
    case TSeekOrigin::soEnd:
        Base = std::int64_t(FData.size());
        break;
    }
    if ((Offset > 0 && Base > std::numeric_limits<std::int64_t>::max() - Offset) ||
        Base + Offset < 0) {
        throw EStreamError("Invalid stream position");
    }
    // A position past the end is allowed; the next write fills the gap with zero bytes.
    FPosition = Base + Offset;
    return FPosition;
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
    if (NewSize < 0 || std::uint64_t(NewSize) > FData.max_size()) {
        throw EStreamError("Invalid stream size");
    }
    if (std::size_t(NewSize) > FData.size()) {
        GrowZeroed(std::size_t(NewSize));
    } else {
        FData.resize(std::size_t(NewSize));
    }
    FPosition = std::min(FPosition, NewSize);
}

void TMemoryStream::GrowZeroed(std::size_t Size) {
    const std::size_t OldSize = FData.size();
    FData.resize(Size);
    std::memset(FData.data() + OldSize, 0, Size - OldSize);
}

std::uint8_t* TMemoryStream::Extend(std::int64_t Count) {
    const std::size_t OldSize = FData.size();
    if (Count < 0 || std::uint64_t(Count) > FData.max_size() - OldSize) {
        throw EStreamError("Invalid stream size");
    }
    const std::size_t End = OldSize + std::size_t(Count);
    if (End > FData.capacity()) {
        FData.reserve(std::max(End, FData.capacity() * 2));
    }
    FData.resize(End);
    return FData.data() + OldSize;
}

void TMemoryStream::Clear() {
    FData.clear();
    FData.shrink_to_fit();
    FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& Source) {
    Source.SetPosition(0);
    const std::int64_t Count = Source.Size();
    if (Count < 0 || std::uint64_t(Count) > FData.max_size()) {
        throw EStreamError("Invalid stream size");
    }
    // Not zero-filled first: every byte is read over, or the stream ends up empty.
    FData.resize(std::size_t(Count));
    FPosition = 0;
    if (Count > 0) {
        try {
            Source.ReadExact(FData.data(), Count);
        } catch (...) {
            FData.clear();
            throw;
        }
    }
}

void TMemoryStream::SaveToStream(TStream& Destination) const {
    if (!FData.empty()) {
        Destination.WriteAll(FData.data(), std::int64_t(FData.size()));
    }
}

void TMemoryStream::Reserve(std::int64_t Capacity) {
    if (Capacity > 0 && std::uint64_t(Capacity) <= FData.max_size()) {
        FData.reserve(std::size_t(Capacity));
    }
}

} // namespace rtl
