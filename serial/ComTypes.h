#pragma once
// The serial layer's enumerations and the small bit set they are collected in. Ordinals are
// fixed: stored settings and the port selector's lists rely on them.
#include <cstdint>
#include <initializer_list>

enum TBaudRate {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
enum TComSignal { csCTS, csDSR, csRing, csRLSD };
enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };
enum TComLinkEvent { leConn, leCTS, leDSR, leRLSD, leRing, leRx, leTx, leTxEmpty, leRxFlag };
enum TOperationKind { okWrite, okRead };

// A set of up to 16 enumeration values held in 16 bits, bit n for ordinal n.
template <typename E> class TSet16 {
public:
    constexpr TSet16() = default;
    constexpr TSet16(std::initializer_list<E> values) {
        for (E v : values)
            bits_ |= Bit(v);
    }
    static constexpr TSet16 FromBits(uint16_t bits) {
        TSet16 s;
        s.bits_ = bits;
        return s;
    }
    constexpr uint16_t Bits() const { return bits_; }
    constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr void Include(E v) { bits_ |= Bit(v); }
    constexpr void Exclude(E v) { bits_ &= static_cast<uint16_t>(~Bit(v)); }
    constexpr bool operator==(const TSet16&) const = default;
    constexpr TSet16 operator|(TSet16 o) const { return FromBits(bits_ | o.bits_); }
    constexpr TSet16 operator&(TSet16 o) const { return FromBits(bits_ & o.bits_); }

private:
    static constexpr uint16_t Bit(E v) { return static_cast<uint16_t>(1u << static_cast<int>(v)); }
    uint16_t bits_ = 0;
};

using TComEvents = TSet16<TComEvent>;
using TComSignals = TSet16<TComSignal>;
using TComErrors = TSet16<TComError>;

inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x03FF);
