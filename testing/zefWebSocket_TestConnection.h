// zefWebSocket_TestConnection: an in-memory transport for WebSocket connections. Received bytes
// come from a buffer the test fills, written frames go to a list the test inspects, so every
// frame and close code can be checked byte for byte. Header-only so that fuzz targets, which
// build without the test helpers, can use it too.
#pragma once

#include "websocket/core/zefWebSocket_Classes_Stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zef::testing {

using TBytes = std::vector<std::uint8_t>;

inline TBytes Bytes(std::string_view aText) {
    return TBytes(aText.begin(), aText.end());
}

/// A connection over byte buffers. One thread at a time (the test's). Fault injection:
/// FailWriteAt makes the N-th WriteBytes call (0-based) throw.
class TzefWSTestConnection : public TzefWSConnection_Base_Stream {
public:
    TzefWSTestConnection() {
        SetTransport(TwsTransport::trpRFC6455);
        SetEnabled(true);
    }

    // --- What the test drives ---
    /// Appends received bytes (nothing is read until ReadData or ReadFrame runs).
    void Receive(std::span<const std::uint8_t> aBytes) {
        FInput.insert(FInput.end(), aBytes.begin(), aBytes.end());
    }
    void Receive(std::string_view aBytes) {
        FInput.insert(FInput.end(), aBytes.begin(), aBytes.end());
    }
    /// Each ReadBytes hands out at most this many bytes (0: no limit), so that frames arrive
    /// split across reads.
    std::size_t ReadChunk = 0;
    /// The WriteBytes call with this index throws EWriteFailure; -1: never.
    int FailWriteAt = -1;
    /// The kind of exception a failing write throws (plain or silent).
    bool FailSilently = false;
    /// Every WriteBytes call's bytes, in order (one entry per frame).
    std::vector<TBytes> Written;
    int DisconnectPeerCalls = 0;
    int WriteBeginCalls = 0;
    int WriteEndCalls = 0;
    int FlushCalls = 0;
    bool PeerConnected = true;
    std::string RequestURL = "/ws/";
    /// Called after each successful WriteBytes (on the writing thread).
    std::function<void()> OnWrite;

    /// All written bytes joined.
    TBytes Output() const {
        TBytes All;
        for (const TBytes& Frame : Written) {
            All.insert(All.end(), Frame.begin(), Frame.end());
        }
        return All;
    }
    std::size_t Unread() const { return FInput.size() - FRead; }

    // --- Transport primitives ---
    bool Active() override { return PeerConnected; }
    std::string URL() override { return RequestURL; }
    bool Connected() override { return PeerConnected; }
    void DisconnectPeer() override {
        ++DisconnectPeerCalls;
        PeerConnected = false;
    }
    void ClearReceiveBuffer() override { FRead = FInput.size(); }
    void DoHandshake() override {}
    void WriteBytes(std::span<const std::uint8_t> aBytes) override {
        if (FailWriteAt >= 0 && int(FWriteCalls) == FailWriteAt) {
            ++FWriteCalls;
            if (FailSilently) {
                throw EzefSilentException("peer gone");
            }
            throw TzefWSException("peer gone");
        }
        ++FWriteCalls;
        Written.emplace_back(aBytes.begin(), aBytes.end());
        AddSendBytes(std::int64_t(aBytes.size()));
        if (OnWrite) {
            OnWrite();
        }
    }
    void WriteBegin() override { ++WriteBeginCalls; }
    void WriteFlush() override { ++FlushCalls; }
    void WriteEnd() override { ++WriteEndCalls; }
    std::size_t ReadBytes(std::uint8_t* aBytes, std::size_t aCount) override {
        std::size_t Count = std::min(aCount, Unread());
        if (ReadChunk > 0) {
            Count = std::min(Count, ReadChunk);
        }
        if (Count > 0) {
            std::memcpy(aBytes, FInput.data() + FRead, Count);
        }
        FRead += Count;
        AddRecBytes(std::int64_t(Count));
        return Count;
    }
    std::size_t ReadableBytes() override {
        return ReadChunk > 0 ? std::min(Unread(), ReadChunk) : Unread();
    }
    /// Feeds the reader while bytes are waiting and the connection is open, the way a real
    /// transport's read loop does. Bounded: every step consumes at least one byte.
    void ReadData(bool aRequireMask) override {
        while (Unread() > 0 && !Disconnected() && !MustDisconnect()) {
            std::size_t Before = FRead;
            if (Transport() == TwsTransport::trpTCP) {
                ReadTCP();
            } else if (Specification() == TwsSpecification::spHixie76) {
                ReadHixie76();
            } else {
                ReadFrame(aRequireMask);
            }
            if (FRead == Before) {
                break;
            }
        }
    }

private:
    TBytes FInput;
    std::size_t FRead = 0;
    std::size_t FWriteCalls = 0;
};

/// Encodes one RFC 6455 frame as a peer would send it: aFirst is the whole first byte (FIN,
/// RSV, opcode); aMask null for an unmasked frame. aForceLength picks the length form
/// (0 shortest, 126 or 127 to force the 16- or 64-bit form).
inline TBytes Frame(std::uint8_t aFirst, std::span<const std::uint8_t> aPayload,
                    const std::uint8_t* aMask = nullptr, int aForceLength = 0) {
    TBytes Out{aFirst};
    std::uint8_t MaskBit = aMask ? 0x80 : 0x00;
    std::uint64_t Length = aPayload.size();
    if (aForceLength == 0 && Length < 126) {
        Out.push_back(std::uint8_t(MaskBit | Length));
    } else if (aForceLength == 126 || (aForceLength == 0 && Length <= 0xFFFF)) {
        Out.push_back(MaskBit | 126);
        Out.push_back(std::uint8_t(Length >> 8));
        Out.push_back(std::uint8_t(Length));
    } else {
        Out.push_back(MaskBit | 127);
        for (int Shift = 56; Shift >= 0; Shift -= 8) {
            Out.push_back(std::uint8_t(Length >> Shift));
        }
    }
    if (aMask) {
        Out.insert(Out.end(), aMask, aMask + 4);
    }
    for (std::size_t I = 0; I < aPayload.size(); ++I) {
        Out.push_back(aMask ? std::uint8_t(aPayload[I] ^ aMask[I % 4]) : aPayload[I]);
    }
    return Out;
}

inline TBytes Frame(std::uint8_t aFirst, std::string_view aPayload,
                    const std::uint8_t* aMask = nullptr, int aForceLength = 0) {
    TBytes Payload(aPayload.begin(), aPayload.end());
    return Frame(aFirst, Payload, aMask, aForceLength);
}

inline TBytes Concat(std::initializer_list<TBytes> aParts) {
    TBytes All;
    for (const TBytes& Part : aParts) {
        All.insert(All.end(), Part.begin(), Part.end());
    }
    return All;
}

/// What a connection's events reported.
struct TzefWSEventLog {
    std::vector<std::string> Messages;
    std::vector<TBytes> Binaries;
    struct TFragment {
        TBytes Data;
        TOpcode OpCode;
        bool Continuation;
    };
    std::vector<TFragment> Fragments;

    void Attach(TzefWSConnection& aConnection) {
        aConnection.OnMessage = [this](TzefWSConnection&, const std::string& Text) {
            Messages.push_back(Text);
        };
        aConnection.OnBinary = [this](TzefWSConnection&, rtl::TMemoryStream& Data) {
            Binaries.emplace_back(Data.Bytes().begin(), Data.Bytes().end());
        };
        aConnection.OnFragmented = [this](TzefWSConnection&, rtl::TMemoryStream& Data,
                                          TOpcode OpCode, bool Continuation) {
            Fragments.push_back(
                {TBytes(Data.Bytes().begin(), Data.Bytes().end()), OpCode, Continuation});
        };
    }
};

} // namespace zef::testing
