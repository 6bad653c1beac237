// StreamReader: exact reads across chunk boundaries, empty and rejected chunks, short data and tails.
#include "formula/stream_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "formula/compressed_block.h"

using namespace cwbk;

namespace {

enum class PieceKind { Plain, Compressed, Rejected };
struct Piece {
  PieceKind kind;
  std::string bytes;
};

std::vector<uint8_t> bytesOf(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

void addPieces(StreamReader& reader, const std::vector<Piece>& pieces) {
  size_t held = 0;
  for (const auto& p : pieces) {
    auto raw = bytesOf(p.bytes);
    size_t count = 0;
    switch (p.kind) {
    case PieceKind::Plain:
      count = reader.addInflated(raw);
      break;
    case PieceKind::Compressed:
      count = reader.addChunk(CompressedBlock::write(raw.data(), raw.size()));
      break;
    case PieceKind::Rejected: {
      // A block whose zlib stream is damaged: the header is accepted, inflation fails.
      auto block = CompressedBlock::write(raw.data(), raw.size());
      block[block.size() - 1] ^= 0x5A;
      count = reader.addChunk(block);
      break;
    }
    }
    EXPECT_EQ(count, ++held);
  }
}

// Reads records of `size` bytes the way a record loop does; a short tail is skipped.
std::string readAll(StreamReader& reader, size_t size, size_t& tailSkipped) {
  std::string got;
  tailSkipped = 0;
  while (!reader.atEnd()) {
    if (!reader.ensure(size)) {
      tailSkipped = reader.skip(SIZE_MAX);
      break;
    }
    std::string record(size, '\0');
    EXPECT_EQ(reader.read(size, record.data()), size);
    got += record;
  }
  return got;
}

Piece P(std::string s) {
  return {PieceKind::Plain, std::move(s)};
}
Piece C(std::string s) {
  return {PieceKind::Compressed, std::move(s)};
}
Piece R(std::string s = "lost") {
  return {PieceKind::Rejected, std::move(s)};
}

} // namespace

TEST(StreamReader, ReadsExactlyAcrossChunkLayouts) {
  struct Case {
    const char* name;
    std::vector<Piece> pieces;
    std::string stream;
  } cases[] = {
      {"one plain chunk", {P("ABCDEFGHIJ")}, "ABCDEFGHIJ"},
      {"one compressed chunk", {C("ABCDEFGHIJ")}, "ABCDEFGHIJ"},
      {"record over three chunks", {P("AB"), C("CDEFG"), P("HIJ")}, "ABCDEFGHIJ"},
      {"empty and rejected chunks between",
       {P("A"), R(), C(""), P(""), C("BCDEFGH"), R(), P("IJ")},
       "ABCDEFGHIJ"},
      {"one byte per chunk",
       {P("A"), C("B"), P("C"), C("D"), P("E"), C("F"), P("G"), C("H"), P("I"), C("J")},
       "ABCDEFGHIJ"},
      {"empty chunks around", {P(""), R(), C("ABCDEFGHIJ"), R(), P(""), C("")}, "ABCDEFGHIJ"},
      {"nothing but empty and rejected chunks", {P(""), R(), C("")}, ""},
      {"no chunks", {}, ""},
  };
  for (const auto& c : cases) {
    for (size_t size : {1, 3, 4, 10, 11}) {
      SCOPED_TRACE(std::string(c.name) + ", records of " + std::to_string(size));
      StreamReader reader;
      addPieces(reader, c.pieces);
      size_t tail = 0;
      std::string got = readAll(reader, size, tail);
      size_t whole = c.stream.size() / size * size;
      EXPECT_EQ(got, c.stream.substr(0, whole));
      EXPECT_EQ(tail, c.stream.size() - whole);
      EXPECT_TRUE(reader.atEnd());
      EXPECT_EQ(reader.consumed(), c.stream.size());
    }
  }
}

TEST(StreamReader, PeekDoesNotConsume) {
  StreamReader reader;
  addPieces(reader, {P("AB"), C("CD"), R(), P("EF")});
  char buffer[6] = {};
  ASSERT_TRUE(reader.peek(5, buffer));
  EXPECT_EQ(std::string(buffer, 5), "ABCDE");
  EXPECT_EQ(reader.consumed(), 0u);
  char again[6] = {};
  ASSERT_EQ(reader.read(5, again), 5u);
  EXPECT_EQ(std::string(again, 5), "ABCDE");

  char untouched[3] = {'x', 'y', 'z'};
  EXPECT_FALSE(reader.peek(2, untouched));
  EXPECT_EQ(std::string(untouched, 3), "xyz");
  EXPECT_EQ(reader.consumed(), 5u);
  EXPECT_FALSE(reader.atEnd());
}

TEST(StreamReader, ShortDataConsumesNothing) {
  StreamReader reader;
  addPieces(reader, {P("AB"), C("CDE")});
  char buffer[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(reader.read(6, buffer), 0u);
  EXPECT_EQ(std::string(buffer, 8), "xxxxxxxx");
  std::u16string text = u"old";
  EXPECT_EQ(reader.readText(3, text), 0u);
  EXPECT_TRUE(text.empty());
  text = u"old";
  EXPECT_EQ(reader.readText(0, text), 0u);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(reader.consumed(), 0u);

  ASSERT_EQ(reader.read(5, buffer), 5u);
  EXPECT_EQ(std::string(buffer, 5), "ABCDE");
  EXPECT_TRUE(reader.atEnd());
}

TEST(StreamReader, ReadTextDecodesLittleEndianAcrossOddSplits) {
  // "A", the euro sign and a surrogate pair, cut inside code units.
  StreamReader reader;
  addPieces(reader,
            {P(std::string("\x41\x00\xAC", 3)), C("\x20\x3D"), R(), P(std::string("\xD8\x00\xDE", 3))});
  std::u16string text;
  ASSERT_EQ(reader.readText(4, text), 8u);
  EXPECT_EQ(text, u"A\u20AC\U0001F600");
  EXPECT_EQ(reader.consumed(), 8u);
  EXPECT_TRUE(reader.atEnd());
}

TEST(StreamReader, SkipStopsAtTheEnd) {
  StreamReader reader;
  addPieces(reader, {P("AB"), C("CDE"), R(), P("FGHIJ")});
  EXPECT_EQ(reader.skip(7), 7u);
  EXPECT_EQ(reader.consumed(), 7u);
  char buffer[3];
  ASSERT_EQ(reader.read(3, buffer), 3u);
  EXPECT_EQ(std::string(buffer, 3), "HIJ");
  EXPECT_EQ(reader.skip(5), 0u);
  EXPECT_EQ(reader.consumed(), 10u);
  EXPECT_TRUE(reader.atEnd());

  // Chunks added after the end are read on.
  reader.addChunk(CompressedBlock::write(reinterpret_cast<const uint8_t*>("KL"), 2));
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(reader.skip(SIZE_MAX), 2u);
  EXPECT_TRUE(reader.atEnd());
}
