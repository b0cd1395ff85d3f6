// The voice datagrams as the benchmark clients and the minimal relay write and read them:
// a type byte, a protocol byte, a 16-bit length and a 16-bit user id (little-endian), then
// for audio a 16-bit destination (0 = the whole channel) and the payload.
#ifndef QUORVANE_BENCH_VOICEWIRE_H
#define QUORVANE_BENCH_VOICEWIRE_H

#include <cstdint>

const uint8_t kHello = 1;
const uint8_t kAck = 2;
const uint8_t kKeepAlive = 3;
const uint8_t kAudioIn = 4;    // relayed audio, as a listener receives it
const uint8_t kAudioOut = 5;   // audio as a talker sends it
const uint8_t kAlive = 6;      // the answer to a keep-alive
const int kMaxDatagram = 512;  // the server reads no more of one datagram

inline void Put16(uint8_t* p, unsigned v) {
    p[0] = uint8_t(v & 0xff);
    p[1] = uint8_t((v >> 8) & 0xff);
}

inline unsigned Get16(const uint8_t* p) { return unsigned(p[0]) | (unsigned(p[1]) << 8); }

// The 6-byte hello that binds the sender's address to the user id.
inline void MakeHello(uint8_t (&hello)[6], unsigned id) {
    hello[0] = kHello;
    hello[1] = 3;
    Put16(hello + 2, 6);
    Put16(hello + 4, id);
}

#endif
