#pragma once
// A grid of small pictures taken at even intervals of a playback, written
// as a PNG with libpng.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace marlin::play {

// Writes packed R, G, B bytes (width * height * 3) as an 8-bit RGB PNG.
bool WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb,
              std::string* error);

class ContactSheet
{
public:
    static constexpr int kGap = 4;                      // pixels around and between cells
    static constexpr uint8_t kBackground[3] = {24, 24, 24};

    // Captions: a strip of this height under each cell, text in a 5x7 font.
    static constexpr int kCaptionHeight = 11;
    static constexpr uint8_t kCaptionInk[3] = {230, 230, 230};

    // `cells` pictures of pictureWidth x pictureHeight, `columns` to a row,
    // each scaled down to at most maxCellWidth pixels wide; with `captions`,
    // each cell has a caption strip under it.
    ContactSheet(int pictureWidth, int pictureHeight, int cells = 12, int columns = 4,
                 int maxCellWidth = 240, bool captions = false);

    int Cells() const { return m_cells; }
    // Which cell a picture belongs to: the span of the playback cut into
    // Cells() even intervals; offsets outside are clamped to the first/last.
    int CellFor(int64_t offsetMs, int64_t spanMs) const;
    bool IsFilled(int cell) const;
    int FilledCount() const;
    // Converts a picture in any of the eleven layouts to RGB and puts it,
    // scaled down, into `cell`, with `caption` under it when the sheet has
    // captions (digits, '.', ':', '-', 's', '#' and spaces; other characters
    // are left blank; what does not fit the cell's width is cut). False when
    // the picture does not fit its layout.
    bool Place(int cell, int32_t code, const uint8_t* data, size_t size, const std::string& caption = {});
    // The caption of a picture at `time` (100 ns from the file's start): "12.345 s".
    static std::string TimeCaption(int64_t time);

    // Copies cell `from` of `source`, a sheet of the same cell size and
    // captions, with its caption into cell `to` of this one. `source` may be
    // this sheet.
    void CopyCell(const ContactSheet& source, int from, int to);

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    const std::vector<uint8_t>& Rgb() const { return m_rgb; }
    bool Write(const std::string& path, std::string* error) const;

private:
    int m_pictureWidth, m_pictureHeight;
    int m_cells, m_columns;
    int m_cellWidth, m_cellHeight;
    int m_captionHeight;  // 0 without captions
    int m_width, m_height;
    std::vector<uint8_t> m_rgb;
    std::vector<bool> m_filled;
    std::vector<uint8_t> m_picture;  // reused conversion buffer

    void DrawText(int x, int y, int maxWidth, const std::string& text);
};

// A contact sheet for a playback of unknown length, where no picture's
// cell can be known on arrival: it keeps every stride-th picture, twice as
// many as the sheet has cells at most, doubling the stride (and dropping
// every other one kept) when they fill up. Finish then puts an even spread
// of those kept into the sheet.
class SpreadContactSheet
{
public:
    SpreadContactSheet(int pictureWidth, int pictureHeight, int cells = 12, int columns = 4, int maxCellWidth = 240,
                       bool captions = false);
    // Each picture of the playback, in order; false when it does not fit its layout.
    bool Offer(int32_t code, const uint8_t* data, size_t size, const std::string& caption = {});
    // The sheet of the pictures kept, spread evenly; once.
    const ContactSheet& Finish();

private:
    ContactSheet m_kept;   // twice the cells, filled in order
    ContactSheet m_sheet;
    int m_nKept = 0;
    int64_t m_nOffered = 0;
    int64_t m_nStride = 1;
};

}  // namespace marlin::play
