#include "controller/play/ContactSheet.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "controller/play/PixelLayouts.h"

namespace marlin::play {

namespace {

// 5x7 glyphs, one row per byte, bit 4 the leftmost pixel.
struct Glyph
{
    char c;
    uint8_t rows[7];
};
constexpr Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}}, {'s', {0x00, 0x00, 0x0E, 0x10, 0x0E, 0x01, 0x1E}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
};
constexpr int kGlyphWidth = 5, kGlyphHeight = 7, kAdvance = 6;

const Glyph* FindGlyph(char c)
{
    for (const Glyph& g : kGlyphs)
        if (g.c == c) return &g;
    return nullptr;
}

}  // namespace

bool WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb,
              std::string* error)
{
    if (width <= 0 || height <= 0 ||
        rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
        if (error) *error = "no picture to write to " + path;
        return false;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr)) {
        if (error) *error = "cannot write " + path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

ContactSheet::ContactSheet(int pictureWidth, int pictureHeight, int cells, int columns,
                           int maxCellWidth, bool captions)
    : m_pictureWidth(std::max(pictureWidth, 1)),
      m_pictureHeight(std::max(pictureHeight, 1)),
      m_cells(std::max(cells, 1)),
      m_columns(std::clamp(columns, 1, std::max(cells, 1)))
{
    m_cellWidth = std::min(m_pictureWidth, std::max(maxCellWidth, 1));
    m_cellHeight = std::max(1, static_cast<int>(static_cast<int64_t>(m_pictureHeight) * m_cellWidth /
                                                m_pictureWidth));
    m_captionHeight = captions ? kCaptionHeight : 0;
    int rows = (m_cells + m_columns - 1) / m_columns;
    m_width = m_columns * m_cellWidth + (m_columns + 1) * kGap;
    m_height = rows * (m_cellHeight + m_captionHeight) + (rows + 1) * kGap;
    m_rgb.resize(static_cast<size_t>(m_width) * m_height * 3);
    for (size_t i = 0; i < m_rgb.size(); i += 3) std::copy(kBackground, kBackground + 3, &m_rgb[i]);
    m_filled.assign(static_cast<size_t>(m_cells), false);
}

int ContactSheet::CellFor(int64_t offsetMs, int64_t spanMs) const
{
    if (spanMs <= 0 || offsetMs <= 0) return 0;
    int64_t cell = offsetMs * m_cells / spanMs;
    return static_cast<int>(std::min<int64_t>(cell, m_cells - 1));
}

bool ContactSheet::IsFilled(int cell) const
{
    return cell >= 0 && cell < m_cells && m_filled[static_cast<size_t>(cell)];
}

int ContactSheet::FilledCount() const
{
    return static_cast<int>(std::count(m_filled.begin(), m_filled.end(), true));
}

std::string ContactSheet::TimeCaption(int64_t time)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(time) / 1e7);
    return text;
}

void ContactSheet::DrawText(int x, int y, int maxWidth, const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const int left = x + static_cast<int>(i) * kAdvance;
        if (left + kGlyphWidth > x + maxWidth) break;
        const Glyph* glyph = FindGlyph(text[i]);
        if (!glyph) continue;
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int col = 0; col < kGlyphWidth; ++col) {
                if (!(glyph->rows[row] >> (kGlyphWidth - 1 - col) & 1)) continue;
                uint8_t* out = &m_rgb[(static_cast<size_t>(y + row) * m_width + left + col) * 3];
                std::copy(kCaptionInk, kCaptionInk + 3, out);
            }
    }
}

bool ContactSheet::Place(int cell, int32_t code, const uint8_t* data, size_t size, const std::string& caption)
{
    if (cell < 0 || cell >= m_cells) return false;
    if (!ConvertToRgb(code, m_pictureWidth, m_pictureHeight, data, size, &m_picture)) return false;

    // Box filter: each cell pixel is the mean of the picture pixels it covers.
    const int x0 = kGap + (cell % m_columns) * (m_cellWidth + kGap);
    const int y0 = kGap + (cell / m_columns) * (m_cellHeight + m_captionHeight + kGap);
    for (int cy = 0; cy < m_cellHeight; ++cy) {
        int sy0 = static_cast<int>(static_cast<int64_t>(cy) * m_pictureHeight / m_cellHeight);
        int sy1 = std::max(sy0 + 1, static_cast<int>(static_cast<int64_t>(cy + 1) * m_pictureHeight /
                                                     m_cellHeight));
        for (int cx = 0; cx < m_cellWidth; ++cx) {
            int sx0 = static_cast<int>(static_cast<int64_t>(cx) * m_pictureWidth / m_cellWidth);
            int sx1 = std::max(sx0 + 1, static_cast<int>(static_cast<int64_t>(cx + 1) * m_pictureWidth /
                                                         m_cellWidth));
            uint32_t sum[3] = {0, 0, 0};
            for (int sy = sy0; sy < sy1; ++sy)
                for (int sx = sx0; sx < sx1; ++sx)
                    for (int c = 0; c < 3; ++c)
                        sum[c] += m_picture[(static_cast<size_t>(sy) * m_pictureWidth + sx) * 3 + c];
            uint32_t n = static_cast<uint32_t>((sy1 - sy0) * (sx1 - sx0));
            uint8_t* out = &m_rgb[(static_cast<size_t>(y0 + cy) * m_width + x0 + cx) * 3];
            for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
        }
    }
    if (m_captionHeight > 0) {
        // The strip under the cell, cleared first: a cell may be placed again.
        for (int y = y0 + m_cellHeight; y < y0 + m_cellHeight + m_captionHeight; ++y)
            for (int x = x0; x < x0 + m_cellWidth; ++x)
                std::copy(kBackground, kBackground + 3, &m_rgb[(static_cast<size_t>(y) * m_width + x) * 3]);
        DrawText(x0 + 1, y0 + m_cellHeight + 2, m_cellWidth - 1, caption);
    }
    m_filled[static_cast<size_t>(cell)] = true;
    return true;
}

void ContactSheet::CopyCell(const ContactSheet& source, int from, int to)
{
    if (from < 0 || from >= source.m_cells || to < 0 || to >= m_cells || source.m_cellWidth != m_cellWidth ||
        source.m_cellHeight != m_cellHeight || source.m_captionHeight != m_captionHeight)
        return;
    const auto origin = [](const ContactSheet& sheet, int cell) {
        return std::pair{kGap + (cell % sheet.m_columns) * (sheet.m_cellWidth + kGap),
                         kGap + (cell / sheet.m_columns) * (sheet.m_cellHeight + sheet.m_captionHeight + kGap)};
    };
    const auto [sx, sy] = origin(source, from);
    const auto [dx, dy] = origin(*this, to);
    const size_t line = static_cast<size_t>(m_cellWidth) * 3;
    for (int y = 0; y < m_cellHeight + m_captionHeight; ++y) {
        const uint8_t* in = &source.m_rgb[(static_cast<size_t>(sy + y) * source.m_width + sx) * 3];
        uint8_t* out = &m_rgb[(static_cast<size_t>(dy + y) * m_width + dx) * 3];
        if (in != out) std::copy(in, in + line, out);
    }
    m_filled[static_cast<size_t>(to)] = source.m_filled[static_cast<size_t>(from)];
}

bool ContactSheet::Write(const std::string& path, std::string* error) const
{
    return WritePng(path, m_width, m_height, m_rgb, error);
}

SpreadContactSheet::SpreadContactSheet(int pictureWidth, int pictureHeight, int cells, int columns,
                                       int maxCellWidth, bool captions)
    : m_kept(pictureWidth, pictureHeight, 2 * std::max(cells, 1), columns, maxCellWidth, captions),
      m_sheet(pictureWidth, pictureHeight, cells, columns, maxCellWidth, captions)
{
}

bool SpreadContactSheet::Offer(int32_t code, const uint8_t* data, size_t size, const std::string& caption)
{
    if (m_nOffered++ % m_nStride != 0) return true;
    if (m_nKept == m_kept.Cells()) {
        // Full: every other one stays, and from now on every other one of
        // the pictures that would have been kept.
        for (int i = 0; 2 * i < m_nKept; ++i) m_kept.CopyCell(m_kept, 2 * i, i);
        m_nKept = (m_nKept + 1) / 2;
        m_nStride *= 2;
        if ((m_nOffered - 1) % m_nStride != 0) return true;
    }
    if (!m_kept.Place(m_nKept, code, data, size, caption)) return false;
    ++m_nKept;
    return true;
}

const ContactSheet& SpreadContactSheet::Finish()
{
    const int cells = m_sheet.Cells();
    if (m_nKept <= cells) {
        for (int i = 0; i < m_nKept; ++i) m_sheet.CopyCell(m_kept, i, i);
    } else {
        // The first and the last kept, and an even spread between them.
        for (int i = 0; i < cells; ++i) {
            const int64_t at = static_cast<int64_t>(i) * (m_nKept - 1);
            const int from = cells == 1 ? 0 : static_cast<int>((2 * at + cells - 1) / (2 * (cells - 1)));
            m_sheet.CopyCell(m_kept, from, i);
        }
    }
    return m_sheet;
}

}  // namespace marlin::play
