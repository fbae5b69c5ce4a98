#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "bitboard.hpp"

namespace tegulo {

inline constexpr std::size_t KIND_COUNT = 21;   // piece kinds each agent owns
inline constexpr std::size_t PIECE_COUNT = 91;  // orientations of all kinds

// One of the 21 piece kinds, stored as its one-byte code. The codes are chosen so
// that code = 6 * (kind index - cells + 1) + cells: code mod 6 is the cell count.
class PieceType {
 public:
  // clang-format off
  enum Code : std::uint8_t {
    I1 = 1, I2 = 2, V3 = 3, I3 = 9, T4 = 10, O = 16, L4 = 22, I4 = 28, Z4 = 34, F = 35, X = 41,
    P = 47, W = 53, Z5 = 59, Y = 65, L5 = 71, U = 77, T5 = 83, V5 = 89, N = 95, I5 = 101,
  };
  // clang-format on

  // The 21 kinds in enumeration (kind index) order.
  static const std::array<PieceType, KIND_COUNT> ALL;

  constexpr PieceType(Code code) : code_(code) {}  // NOLINT: kinds convert from their codes

  // The kind with this code; nothing for a byte that is no kind's code.
  static constexpr std::optional<PieceType> from_code(std::uint8_t code) {
    if (code >= KIND_BY_CODE.size() || KIND_BY_CODE[code] == NONE) return std::nullopt;
    return PieceType(static_cast<Code>(code));
  }

  constexpr std::uint8_t code() const { return code_; }
  constexpr unsigned cell_count() const { return code_ % 6u; }
  // The kind's place in the enumeration, 0 for I1 to 20 for I5: its bit in an
  // agent's remaining set.
  constexpr unsigned kind_index() const { return KIND_BY_CODE[code_]; }
  constexpr std::string_view name() const { return NAMES[kind_index()]; }

  friend constexpr bool operator==(PieceType, PieceType) = default;
  friend constexpr auto operator<=>(PieceType a, PieceType b) { return a.code_ <=> b.code_; }

 private:
  static constexpr std::uint8_t NONE = 0xFF;
  static constexpr std::array<std::string_view, KIND_COUNT> NAMES = {
      "I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F",  "X",
      "P",  "W",  "Z5", "Y",  "L5", "U", "T5", "V5", "N",  "I5",
  };
  static constexpr Code CODES[KIND_COUNT] = {I1, I2, V3, I3, T4, O, L4, I4, Z4, F, X,
                                             P,  W,  Z5, Y,  L5, U, T5, V5, N,  I5};
  static constexpr std::array<std::uint8_t, I5 + 1> KIND_BY_CODE = [] {
    std::array<std::uint8_t, I5 + 1> t{};
    for (auto& k : t) k = NONE;
    for (std::uint8_t i = 0; i < KIND_COUNT; ++i) t[CODES[i]] = i;
    return t;
  }();

  std::uint8_t code_;
};

inline constexpr std::array<PieceType, KIND_COUNT> PieceType::ALL = {
    PieceType::I1, PieceType::I2, PieceType::V3, PieceType::I3, PieceType::T4, PieceType::O, PieceType::L4,
    PieceType::I4, PieceType::Z4, PieceType::F,  PieceType::X,  PieceType::P,  PieceType::W, PieceType::Z5,
    PieceType::Y,  PieceType::L5, PieceType::U,  PieceType::T5, PieceType::V5, PieceType::N, PieceType::I5,
};

// One row of an oriented piece inside its bounding box: `offset` empty cells, a run
// of `len` filled cells, and, when `hole` is set, an empty cell inserted at that
// place (only the U piece has one).
struct Row {
  std::size_t offset = 0;
  std::size_t len = 0;
  std::optional<std::size_t> hole;

  friend constexpr bool operator==(const Row&, const Row&) = default;
};

// One orientation of one kind; its place in `generate()` is its piece index.
struct Piece {
  static constexpr std::size_t MAX_ROWS = 5;

  std::array<Row, MAX_ROWS> row_storage{};
  std::size_t height = 0;       // rows in use, top row first
  std::size_t orientation = 0;  // index within its kind
  std::size_t max_row = 0;      // last board row the top row can stand on
  std::size_t max_col = 0;      // last board column the leftmost column can stand on
  PieceType piece_type = PieceType::I1;

  constexpr std::span<const Row> rows() const { return {row_storage.data(), height}; }

  // The cells of the shape with its bounding box at (0, 0).
  Bitboard shape() const;

  // Every place on the board where the orientation fits, as (anchor, cells), rows
  // first, then columns; the anchor is row * 20 + column of the bounding box's
  // top-left cell.
  std::vector<std::pair<std::size_t, Bitboard>> build_translations() const;

  // Pieces order by kind code, then orientation; the other fields take no part.
  friend constexpr bool operator<(const Piece& a, const Piece& b) {
    return std::pair(a.piece_type.code(), a.orientation) < std::pair(b.piece_type.code(), b.orientation);
  }
};

// The 91 orientations in piece-index order.
std::vector<Piece> generate();

}  // namespace tegulo
