#include "pieces.hpp"

#include <algorithm>
#include <string>

#include "errors.hpp"

namespace tegulo {

namespace {

// Builds an orientation from its drawing: rows top first, separated by '/', 'X' a
// filled cell and '.' an empty one. Runs at compile time only; a malformed drawing
// stops the build.
consteval Piece drawn(PieceType type, std::size_t orientation, std::string_view drawing) {
  Piece piece;
  piece.piece_type = type;
  piece.orientation = orientation;
  std::size_t width = 0;
  while (!drawing.empty()) {
    const std::size_t end = std::min(drawing.find('/'), drawing.size());
    const std::string_view line = drawing.substr(0, end);
    drawing.remove_prefix(std::min(end + 1, drawing.size()));

    Row row;
    row.offset = line.find('X');
    const std::size_t last = line.rfind('X');
    row.len = static_cast<std::size_t>(std::count(line.begin(), line.end(), 'X'));
    if (row.len + 1 == last - row.offset + 1)
      row.hole = line.find('.', row.offset);
    else if (row.len != last - row.offset + 1)
      throw "a row holds at most one hole";
    if (width != 0 && line.size() != width) throw "rows of one drawing have one width";
    width = line.size();
    piece.row_storage[piece.height++] = row;
  }
  piece.max_row = BOARD_SIZE - piece.height;
  piece.max_col = BOARD_SIZE - width;
  return piece;
}

using T = PieceType;

// The 91 orientations in piece-index order: by kind code, then orientation.
// clang-format off
constexpr std::array<Piece, PIECE_COUNT> PIECES = {
    drawn(T::I1, 0, "X"),
    drawn(T::I2, 0, "XX"),
    drawn(T::I2, 1, "X/X"),
    drawn(T::V3, 0, "XX/X."),
    drawn(T::V3, 1, "X./XX"),
    drawn(T::V3, 2, ".X/XX"),
    drawn(T::V3, 3, "XX/.X"),
    drawn(T::I3, 0, "XXX"),
    drawn(T::I3, 1, "X/X/X"),
    drawn(T::T4, 0, ".X./XXX"),
    drawn(T::T4, 1, "X./XX/X."),
    drawn(T::T4, 2, "XXX/.X."),
    drawn(T::T4, 3, ".X/XX/.X"),
    drawn(T::O, 0, "XX/XX"),
    drawn(T::L4, 0, "X../XXX"),
    drawn(T::L4, 1, "XXX/X.."),
    drawn(T::L4, 2, "X./X./XX"),
    drawn(T::L4, 3, "XX/X./X."),
    drawn(T::L4, 4, "XX/.X/.X"),
    drawn(T::L4, 5, "XXX/..X"),
    drawn(T::L4, 6, "..X/XXX"),
    drawn(T::L4, 7, ".X/.X/XX"),
    drawn(T::I4, 0, "XXXX"),
    drawn(T::I4, 1, "X/X/X/X"),
    drawn(T::Z4, 0, "X./XX/.X"),
    drawn(T::Z4, 1, ".X/XX/X."),
    drawn(T::Z4, 2, ".XX/XX."),
    drawn(T::Z4, 3, "XX./.XX"),
    drawn(T::F, 0, ".X./XXX/X.."),
    drawn(T::F, 1, "X../XXX/.X."),
    drawn(T::F, 2, "XX./.XX/.X."),
    drawn(T::F, 3, ".XX/XX./.X."),
    drawn(T::F, 4, "..X/XXX/.X."),
    drawn(T::F, 5, ".X./XX./.XX"),
    drawn(T::F, 6, ".X./XXX/..X"),
    drawn(T::F, 7, ".X./.XX/XX."),
    drawn(T::X, 0, ".X./XXX/.X."),
    drawn(T::P, 0, "XX/XX/X."),
    drawn(T::P, 1, "XX/XX/.X"),
    drawn(T::P, 2, "X./XX/XX"),
    drawn(T::P, 3, ".X/XX/XX"),
    drawn(T::P, 4, "XXX/.XX"),
    drawn(T::P, 5, ".XX/XXX"),
    drawn(T::P, 6, "XXX/XX."),
    drawn(T::P, 7, "XX./XXX"),
    drawn(T::W, 0, "X../XX./.XX"),
    drawn(T::W, 1, ".XX/XX./X.."),
    drawn(T::W, 2, "..X/.XX/XX."),
    drawn(T::W, 3, "XX./.XX/..X"),
    drawn(T::Z5, 0, "X../XXX/..X"),
    drawn(T::Z5, 1, "..X/XXX/X.."),
    drawn(T::Z5, 2, ".XX/.X./XX."),
    drawn(T::Z5, 3, "XX./.X./.XX"),
    drawn(T::Y, 0, "XXXX/.X.."),
    drawn(T::Y, 1, ".X../XXXX"),
    drawn(T::Y, 2, "XXXX/..X."),
    drawn(T::Y, 3, "..X./XXXX"),
    drawn(T::Y, 4, "X./X./XX/X."),
    drawn(T::Y, 5, ".X/.X/XX/.X"),
    drawn(T::Y, 6, "X./XX/X./X."),
    drawn(T::Y, 7, ".X/XX/.X/.X"),
    drawn(T::L5, 0, "XXXX/X..."),
    drawn(T::L5, 1, "X.../XXXX"),
    drawn(T::L5, 2, "XXXX/...X"),
    drawn(T::L5, 3, "...X/XXXX"),
    drawn(T::L5, 4, "X./X./X./XX"),
    drawn(T::L5, 5, ".X/.X/.X/XX"),
    drawn(T::L5, 6, "XX/X./X./X."),
    drawn(T::L5, 7, "XX/.X/.X/.X"),
    drawn(T::U, 0, "X.X/XXX"),
    drawn(T::U, 1, "XXX/X.X"),
    drawn(T::U, 2, "XX/X./XX"),
    drawn(T::U, 3, "XX/.X/XX"),
    drawn(T::T5, 0, ".X./.X./XXX"),
    drawn(T::T5, 1, "X../XXX/X.."),
    drawn(T::T5, 2, "XXX/.X./.X."),
    drawn(T::T5, 3, "..X/XXX/..X"),
    drawn(T::V5, 0, "XXX/X../X.."),
    drawn(T::V5, 1, "X../X../XXX"),
    drawn(T::V5, 2, "..X/..X/XXX"),
    drawn(T::V5, 3, "XXX/..X/..X"),
    drawn(T::N, 0, ".XXX/XX.."),
    drawn(T::N, 1, "XX../.XXX"),
    drawn(T::N, 2, "XXX./..XX"),
    drawn(T::N, 3, "..XX/XXX."),
    drawn(T::N, 4, "X./X./XX/.X"),
    drawn(T::N, 5, ".X/.X/XX/X."),
    drawn(T::N, 6, ".X/XX/X./X."),
    drawn(T::N, 7, "X./XX/.X/.X"),
    drawn(T::I5, 0, "XXXXX"),
    drawn(T::I5, 1, "X/X/X/X/X"),
};
// clang-format on

}  // namespace

Bitboard Piece::shape() const {
  // Each row contributes 21 cells (its 20 board cells and the gap), so bit
  // 21 * i + j of the shape number is the piece's cell (i, j).
  Bitboard shape;
  for (std::size_t i = 0; i < height; ++i) {
    const Row& row = row_storage[i];
    for (std::size_t j = 0; j < row.len; ++j) {
      const std::size_t col = row.offset + j + (row.hole && row.offset + j >= *row.hole ? 1 : 0);
      if (col < BOARD_SIZE) shape |= Bitboard::single(static_cast<unsigned>(i * ROW_STRIDE + col));
    }
  }
  return shape;
}

namespace {
// The shape number (at most 5 rows of 21 bits, so at most 105 bits) shifted
// toward higher positions by n: one 128-bit shift spread over three chunks.
Bitboard shifted_shape(std::uint64_t lo, std::uint64_t hi, std::size_t n) {
  Bitboard::Chunks chunks{};
  const std::size_t word = n / 64, bits = n % 64;
  // Shifting by 64 - bits must not reach 64, so carries go in two steps.
  const std::uint64_t lo_carry = (lo >> 1) >> (63 - bits), hi_carry = (hi >> 1) >> (63 - bits);
  chunks[word] = lo << bits;
  if (word + 1 < Bitboard::CHUNKS) chunks[word + 1] = (hi << bits) | lo_carry;
  if (word + 2 < Bitboard::CHUNKS) chunks[word + 2] = hi_carry;
  return Bitboard(chunks);
}
}  // namespace

std::vector<std::pair<std::size_t, Bitboard>> Piece::build_translations() const {
  const Bitboard::Chunks shape_chunks = shape().chunks();
  std::vector<std::pair<std::size_t, Bitboard>> translations;
  translations.reserve((max_row + 1) * (max_col + 1));
  for (std::size_t r = 0; r <= max_row; ++r) {
    for (std::size_t c = 0; c <= max_col; ++c) {
      if (c == BOARD_SIZE || r == BOARD_SIZE)
        throw InternalError("Invalid translation of (0,0) to (" + std::to_string(c) + "," + std::to_string(r) + ")");
      translations.emplace_back(r * BOARD_SIZE + c,
                                shifted_shape(shape_chunks[0], shape_chunks[1], r * ROW_STRIDE + c));
    }
  }
  return translations;
}

std::vector<Piece> generate() {
  std::vector<Piece> pieces(PIECES.begin(), PIECES.end());
  std::stable_sort(pieces.begin(), pieces.end());
  return pieces;
}

}  // namespace tegulo
