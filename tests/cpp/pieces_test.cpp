#include "game/pieces.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "game/errors.hpp"

namespace tegulo {
namespace {

using Cells = std::set<std::pair<int, int>>;

Cells shape_cells(const Piece& piece) {
  Cells out;
  for (unsigned p : piece.shape().ones()) out.emplace(p / ROW_STRIDE, p % ROW_STRIDE);
  return out;
}

// Moves a cell set so that its topmost row and leftmost column are 0.
Cells normalised(const Cells& cells) {
  int top = 99, left = 99;
  for (auto [r, c] : cells) top = std::min(top, r), left = std::min(left, c);
  Cells out;
  for (auto [r, c] : cells) out.emplace(r - top, c - left);
  return out;
}

TEST(PieceType, CodesNamesAndCellCounts) {
  const std::vector<std::string> names = {"I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F", "X",
                                          "P",  "W",  "Z5", "Y",  "L5", "U", "T5", "V5", "N",  "I5"};
  const std::vector<unsigned> cells = {1, 2, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
  unsigned total = 0;
  for (std::size_t i = 0; i < KIND_COUNT; ++i) {
    const PieceType t = PieceType::ALL[i];
    EXPECT_EQ(t.name(), names[i]);
    EXPECT_EQ(t.kind_index(), i);
    EXPECT_EQ(t.cell_count(), cells[i]) << names[i];
    EXPECT_EQ(t.code(), 6 * (i - cells[i] + 1) + cells[i]) << names[i];
    total += t.cell_count();
  }
  EXPECT_EQ(total, 89u);
  EXPECT_EQ(PieceType(PieceType::I3).code(), 9);
  EXPECT_EQ(PieceType(PieceType::F).code(), 35);
}

TEST(PieceType, FromCodeAcceptsExactlyTheKindCodes) {
  int accepted = 0;
  for (int code = 0; code < 256; ++code) {
    const auto t = PieceType::from_code(static_cast<std::uint8_t>(code));
    if (t) {
      EXPECT_EQ(t->code(), code);
      ++accepted;
    }
  }
  EXPECT_EQ(accepted, 21);
  EXPECT_FALSE(PieceType::from_code(0));
  EXPECT_FALSE(PieceType::from_code(4));
  EXPECT_FALSE(PieceType::from_code(102));
  EXPECT_EQ(PieceType::from_code(101), PieceType(PieceType::I5));
}

TEST(Pieces, OrientationsAreOrderedAndNumberedPerKind) {
  const auto pieces = generate();
  ASSERT_EQ(pieces.size(), PIECE_COUNT);
  EXPECT_TRUE(std::is_sorted(pieces.begin(), pieces.end()));
  std::map<std::uint8_t, std::size_t> per_kind;
  for (const Piece& p : pieces) EXPECT_EQ(p.orientation, per_kind[p.piece_type.code()]++);
  const std::vector<std::size_t> expected = {1, 2, 4, 2, 4, 1, 8, 2, 4, 8, 1, 8, 4, 4, 8, 8, 4, 4, 4, 8, 2};
  for (std::size_t i = 0; i < KIND_COUNT; ++i) EXPECT_EQ(per_kind[PieceType::ALL[i].code()], expected[i]);
}

// The shape of a piece drawn as in the fixed table: rows top first, '/' between.
std::string drawing(const Piece& piece) {
  std::string out;
  const Cells cells = shape_cells(piece);
  for (std::size_t r = 0; r < 20 - piece.max_row; ++r) {
    if (r > 0) out += '/';
    for (std::size_t c = 0; c < 20 - piece.max_col; ++c) out += cells.count({int(r), int(c)}) ? 'X' : '.';
  }
  return out;
}

// A piece's place in the list is part of every action index, so the whole list
// is pinned, orientation by orientation, one kind a line.
TEST(Pieces, EveryOrientationKeepsItsPieceIndex) {
  // clang-format off
  const std::vector<std::string> table = {
    "X",
    "XX", "X/X",
    "XX/X.", "X./XX", ".X/XX", "XX/.X",
    "XXX", "X/X/X",
    ".X./XXX", "X./XX/X.", "XXX/.X.", ".X/XX/.X",
    "XX/XX",
    "X../XXX", "XXX/X..", "X./X./XX", "XX/X./X.", "XX/.X/.X", "XXX/..X", "..X/XXX", ".X/.X/XX",
    "XXXX", "X/X/X/X",
    "X./XX/.X", ".X/XX/X.", ".XX/XX.", "XX./.XX",
    ".X./XXX/X..", "X../XXX/.X.", "XX./.XX/.X.", ".XX/XX./.X.", "..X/XXX/.X.", ".X./XX./.XX", ".X./XXX/..X", ".X./.XX/XX.",
    ".X./XXX/.X.",
    "XX/XX/X.", "XX/XX/.X", "X./XX/XX", ".X/XX/XX", "XXX/.XX", ".XX/XXX", "XXX/XX.", "XX./XXX",
    "X../XX./.XX", ".XX/XX./X..", "..X/.XX/XX.", "XX./.XX/..X",
    "X../XXX/..X", "..X/XXX/X..", ".XX/.X./XX.", "XX./.X./.XX",
    "XXXX/.X..", ".X../XXXX", "XXXX/..X.", "..X./XXXX", "X./X./XX/X.", ".X/.X/XX/.X", "X./XX/X./X.", ".X/XX/.X/.X",
    "XXXX/X...", "X.../XXXX", "XXXX/...X", "...X/XXXX", "X./X./X./XX", ".X/.X/.X/XX", "XX/X./X./X.", "XX/.X/.X/.X",
    "X.X/XXX", "XXX/X.X", "XX/X./XX", "XX/.X/XX",
    ".X./.X./XXX", "X../XXX/X..", "XXX/.X./.X.", "..X/XXX/..X",
    "XXX/X../X..", "X../X../XXX", "..X/..X/XXX", "XXX/..X/..X",
    ".XXX/XX..", "XX../.XXX", "XXX./..XX", "..XX/XXX.", "X./X./XX/.X", ".X/.X/XX/X.", ".X/XX/X./X.", "X./XX/.X/.X",
    "XXXXX", "X/X/X/X/X",
  };
  // clang-format on
  const auto pieces = generate();
  ASSERT_EQ(table.size(), pieces.size());
  for (std::size_t k = 0; k < pieces.size(); ++k) EXPECT_EQ(drawing(pieces[k]), table[k]) << "piece " << k;
}

TEST(Pieces, OrderIgnoresEverythingButKindAndOrientation) {
  Piece a = generate()[14], b = a;  // L4, orientation 0
  b.max_row = 3;
  b.height = 1;
  EXPECT_FALSE(a < b);
  EXPECT_FALSE(b < a);
  b.orientation = 1;
  EXPECT_TRUE(a < b);
}

// The fixed shapes must be exactly the distinct images of each kind under the
// eight symmetries of the square, each drawn normalised, with matching bounds.
TEST(Pieces, EachKindHoldsExactlyItsDistinctSymmetricImages) {
  std::map<std::uint8_t, std::set<Cells>> shapes;
  for (const Piece& piece : generate()) {
    const Cells cells = shape_cells(piece);
    EXPECT_EQ(cells.size(), piece.piece_type.cell_count());
    EXPECT_EQ(normalised(cells), cells) << "piece not normalised";
    int height = 0, width = 0;
    for (auto [r, c] : cells) height = std::max(height, r + 1), width = std::max(width, c + 1);
    EXPECT_EQ(piece.max_row, 20u - height);
    EXPECT_EQ(piece.max_col, 20u - width);
    EXPECT_TRUE(shapes[piece.piece_type.code()].insert(cells).second) << "duplicate orientation";
  }
  for (auto& [code, orientations] : shapes) {
    std::set<Cells> images;
    for (int sym = 0; sym < 8; ++sym) {
      Cells image;
      for (auto [r, c] : *orientations.begin()) {
        int y = r, x = c;
        for (int q = 0; q < sym % 4; ++q) std::tie(y, x) = std::pair(x, -y);
        if (sym >= 4) x = -x;
        image.emplace(y, x);
      }
      images.insert(normalised(image));
    }
    EXPECT_EQ(images, orientations) << "kind code " << int(code);
  }
}

TEST(Pieces, TranslationsCoverEveryFittingAnchor) {
  std::size_t total = 0;
  for (const Piece& piece : generate()) {
    const auto translations = piece.build_translations();
    ASSERT_EQ(translations.size(), (piece.max_row + 1) * (piece.max_col + 1));
    total += translations.size();
    EXPECT_EQ(translations.front().first, 0u);
    EXPECT_EQ(translations.front().second, piece.shape());
    EXPECT_EQ(translations.back().first, piece.max_row * 20 + piece.max_col);
    for (const auto& [anchor, cells] : translations) {
      EXPECT_EQ(cells, piece.shape().shifted_up(static_cast<unsigned>(anchor / 20 * 21 + anchor % 20)));
      EXPECT_EQ(cells - BOARD_MASK, Bitboard()) << "cell off the board";
    }
  }
  EXPECT_EQ(total, 30433u);

  const auto pieces = generate();
  std::vector<std::size_t> anchors;
  for (const auto& t : pieces[0].build_translations()) anchors.push_back(t.first);
  ASSERT_EQ(anchors.size(), 400u);
  for (std::size_t i = 0; i < 400; ++i) EXPECT_EQ(anchors[i], i);
  EXPECT_EQ(pieces[1].build_translations().size(), 380u);
  EXPECT_EQ(pieces[2].build_translations().size(), 380u);
  EXPECT_EQ(pieces[89].build_translations().size(), 320u);
  EXPECT_EQ(pieces[90].build_translations().size(), 320u);
}

TEST(Pieces, TheUPieceKeepsItsHole) {
  const Piece u = generate()[69];
  ASSERT_EQ(u.piece_type, PieceType(PieceType::U));
  EXPECT_EQ(u.rows()[0], (Row{0, 2, 1}));
  const auto translations = u.build_translations();
  auto at = [](std::initializer_list<std::pair<unsigned, unsigned>> rc) {
    Bitboard b;
    for (auto [r, c] : rc) b |= Bitboard::single(position(r, c));
    return b;
  };
  EXPECT_EQ(translations.front().second, at({{0, 0}, {0, 2}, {1, 0}, {1, 1}, {1, 2}}));
  EXPECT_EQ(translations.back().first, 377u);
  EXPECT_EQ(translations.back().second, at({{18, 17}, {18, 19}, {19, 17}, {19, 18}, {19, 19}}));
}

TEST(Pieces, ATranslationOffTheBoardIsAnInternalError) {
  Piece piece = generate()[0];
  piece.max_col = 20;
  try {
    (void)piece.build_translations();
    FAIL() << "no error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "Invalid translation of (0,0) to (20,0)");
  }
}

}  // namespace
}  // namespace tegulo
