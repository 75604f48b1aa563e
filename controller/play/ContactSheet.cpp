#include "controller/play/ContactSheet.h"

#include <png.h>

#include <algorithm>

#include "controller/play/PixelLayouts.h"

namespace marlin::play {

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
                           int maxCellWidth)
    : m_pictureWidth(std::max(pictureWidth, 1)),
      m_pictureHeight(std::max(pictureHeight, 1)),
      m_cells(std::max(cells, 1)),
      m_columns(std::clamp(columns, 1, std::max(cells, 1)))
{
    m_cellWidth = std::min(m_pictureWidth, std::max(maxCellWidth, 1));
    m_cellHeight = std::max(1, static_cast<int>(static_cast<int64_t>(m_pictureHeight) * m_cellWidth /
                                                m_pictureWidth));
    int rows = (m_cells + m_columns - 1) / m_columns;
    m_width = m_columns * m_cellWidth + (m_columns + 1) * kGap;
    m_height = rows * m_cellHeight + (rows + 1) * kGap;
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

bool ContactSheet::Place(int cell, int32_t code, const uint8_t* data, size_t size)
{
    if (cell < 0 || cell >= m_cells) return false;
    if (!ConvertToRgb(code, m_pictureWidth, m_pictureHeight, data, size, &m_picture)) return false;

    // Box filter: each cell pixel is the mean of the picture pixels it covers.
    const int x0 = kGap + (cell % m_columns) * (m_cellWidth + kGap);
    const int y0 = kGap + (cell / m_columns) * (m_cellHeight + kGap);
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
    m_filled[static_cast<size_t>(cell)] = true;
    return true;
}

bool ContactSheet::Write(const std::string& path, std::string* error) const
{
    return WritePng(path, m_width, m_height, m_rgb, error);
}

}  // namespace marlin::play
