// Writes the seed corpora of the fuzz targets: small valid inputs of every kind each target
// reads, and near misses (cut short, one field wrong). Usage: make_fuzz_seeds <corpus folder>;
// the files go to <folder>/fuzz_image, <folder>/fuzz_project, <folder>/fuzz_text and
// <folder>/fuzz_colmap.
// Built and run by tools/make_fuzz_seeds.sh; its output is committed.
// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <png.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interop/colmap.h"

namespace {

std::string gRoot;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
    const std::string path = gRoot + "/" + target + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::fclose(file);
}

void Put(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

// A BMP file from its parts. infoSize 12 writes the core header (16-bit sizes, 3-byte palette
// entries); 16 and 64 the OS/2 2.x headers (the 16-byte one cut after the bit count); 40, 108
// and 124 the info headers. Masks, when given, follow a 40-byte header or fill the V4/V5
// header's mask fields.
struct Bmp {
    uint32_t infoSize = 40;
    int32_t width = 4;
    int32_t height = 3;
    uint16_t bits = 24;
    uint32_t compression = 0;
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    std::vector<uint32_t> masks;    // red, green, blue[, alpha]
    std::string pixels;
};

std::string BuildBmp(const Bmp& b) {
    std::string info;
    Put(info, b.infoSize, 4);
    if (b.infoSize == 12) {
        Put(info, static_cast<uint32_t>(b.width), 2);
        Put(info, static_cast<uint32_t>(b.height), 2);
        Put(info, 1, 2);
        Put(info, b.bits, 2);
    } else {
        Put(info, static_cast<uint32_t>(b.width), 4);
        Put(info, static_cast<uint32_t>(b.height), 4);
        Put(info, 1, 2);
        Put(info, b.bits, 2);
        Put(info, b.compression, 4);
        Put(info, static_cast<uint32_t>(b.pixels.size()), 4);
        Put(info, 2835, 4);
        Put(info, 2835, 4);
        Put(info, static_cast<uint32_t>(b.palette.size()), 4);
        Put(info, 0, 4);
        if (b.infoSize < 40) {
            info.resize(b.infoSize);
        } else if (b.infoSize == 64) {
            info.resize(64, '\0');
        } else if (b.infoSize > 40) {
            for (size_t i = 0; i < 4; i++) {
                Put(info, i < b.masks.size() ? b.masks[i] : 0, 4);
            }
            Put(info, 0x73524742, 4);  // "sRGB"
            while (info.size() < b.infoSize) {
                info.push_back('\0');
            }
        } else {
            for (uint32_t mask : b.masks) {
                Put(info, mask, 4);
            }
        }
    }
    std::string palette;
    for (uint32_t c : b.palette) {
        Put(palette, c, b.infoSize == 12 ? 3 : 4);
    }
    const uint32_t offset = static_cast<uint32_t>(14 + info.size() + palette.size());
    std::string out = "BM";
    Put(out, static_cast<uint32_t>(offset + b.pixels.size()), 4);
    Put(out, 0, 4);
    Put(out, offset, 4);
    return out + info + palette + b.pixels;
}

// Rows of a w x h picture, each padded to 4 bytes; byteAt(x, y, k) gives byte k of pixel x of
// stored row y, for pixels of bytesPerPixel bytes.
template <class F>
std::string Rows(int w, int h, int bytesPerPixel, F byteAt) {
    std::string out;
    for (int y = 0; y < h; y++) {
        std::string row;
        for (int x = 0; x < w; x++) {
            for (int k = 0; k < bytesPerPixel; k++) {
                row.push_back(static_cast<char>(byteAt(x, y, k)));
            }
        }
        while (row.size() % 4 != 0) {
            row.push_back('\0');
        }
        out += row;
    }
    return out;
}

// Packed rows of palette indices at 1 or 4 bits per pixel.
std::string PackedRows(int w, int h, int bits, int (*index)(int, int)) {
    std::string out;
    for (int y = 0; y < h; y++) {
        std::string row;
        int acc = 0;
        int used = 0;
        for (int x = 0; x < w; x++) {
            acc = (acc << bits) | index(x, y);
            used += bits;
            if (used == 8) {
                row.push_back(static_cast<char>(acc));
                acc = used = 0;
            }
        }
        if (used > 0) {
            row.push_back(static_cast<char>(acc << (8 - used)));
        }
        while (row.size() % 4 != 0) {
            row.push_back('\0');
        }
        out += row;
    }
    return out;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

void ImageSeeds() {
    const std::string t = "fuzz_image";
    const std::vector<uint32_t> pal2 = {0x000000, 0xFFFFFF};
    const std::vector<uint32_t> pal16 = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0x808080};

    Bmp b;
    b.pixels = Rows(4, 3, 3, [](int x, int y, int k) { return (x * 60 + y * 20 + k * 7) & 0xFF; });
    const std::string bmp24 = BuildBmp(b);
    Write(t, "bmp24.bmp", bmp24);
    b.height = -3;
    Write(t, "bmp24_topdown.bmp", BuildBmp(b));
    Write(t, "bmp24_truncated.bmp", bmp24.substr(0, bmp24.size() - 7));
    std::string farOffset = bmp24;
    farOffset[10] = 0x70;  // pixel offset beyond the file
    Write(t, "bmp24_offset_beyond.bmp", farOffset);

    Bmp one;
    one.bits = 1;
    one.width = 9;
    one.palette = pal2;
    one.pixels = PackedRows(9, 3, 1, [](int x, int y) { return (x + y) & 1; });
    Write(t, "bmp1.bmp", BuildBmp(one));

    Bmp four;
    four.bits = 4;
    four.width = 5;
    four.palette = pal16;
    four.pixels = PackedRows(5, 3, 4, [](int x, int y) { return (x + y) % 5; });
    Write(t, "bmp4.bmp", BuildBmp(four));
    four.palette.resize(3);  // indices 3 and 4 lie beyond the palette
    Write(t, "bmp4_index_beyond_palette.bmp", BuildBmp(four));

    Bmp eight;
    eight.bits = 8;
    eight.palette = pal16;
    eight.pixels = Rows(4, 3, 1, [](int x, int y, int) { return (x * 3 + y) % 5; });
    Write(t, "bmp8.bmp", BuildBmp(eight));

    Bmp rle8;
    rle8.bits = 8;
    rle8.compression = 1;
    rle8.palette = pal16;
    rle8.pixels = Bytes({4, 1, 0, 0,                // run of four 1s, end of line
                         0, 3, 2, 3, 4, 0, 0, 0,    // absolute 2 3 4 (padded), end of line
                         0, 2, 1, 0, 2, 2, 0, 1});  // delta (+1, 0), run of two 2s, end
    Write(t, "bmp_rle8.bmp", BuildBmp(rle8));

    Bmp rle4;
    rle4.bits = 4;
    rle4.compression = 2;
    rle4.width = 5;
    rle4.height = 2;
    rle4.palette = pal16;
    rle4.pixels = Bytes({5, 0x12, 0, 0,     // 1 2 1 2 1, end of line
                         0, 3, 0x30, 0x20,  // absolute 3 0 2
                         0, 2, 1, 0, 1, 0x40, 0, 1});
    Write(t, "bmp_rle4.bmp", BuildBmp(rle4));

    Bmp s555;
    s555.bits = 16;
    s555.pixels = Rows(4, 3, 2, [](int x, int y, int k) { return k ? (x * 9) & 0x7F : y * 40; });
    Write(t, "bmp16_555.bmp", BuildBmp(s555));
    Bmp s565 = s555;
    s565.compression = 3;
    s565.masks = {0xF800, 0x07E0, 0x001F};
    Write(t, "bmp16_565_bitfields.bmp", BuildBmp(s565));

    Bmp plain32;
    plain32.bits = 32;
    plain32.pixels = Rows(4, 3, 4, [](int x, int y, int k) { return x * 50 + y * 11 + k; });
    Write(t, "bmp32.bmp", BuildBmp(plain32));
    Bmp v5 = plain32;
    v5.infoSize = 124;
    v5.compression = 3;
    v5.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    Write(t, "bmp32_v5_alpha.bmp", BuildBmp(v5));
    Bmp v4 = v5;
    v4.infoSize = 108;
    Write(t, "bmp32_v4_alpha.bmp", BuildBmp(v4));

    Bmp core;
    core.infoSize = 12;
    core.bits = 8;
    core.palette = pal16;
    core.pixels = Rows(4, 3, 1, [](int x, int, int) { return x; });
    Write(t, "bmp_core8.bmp", BuildBmp(core));

    Bmp two;
    two.bits = 2;
    two.width = 7;
    two.palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    two.pixels = PackedRows(7, 3, 2, [](int x, int y) { return (x + y) % 4; });
    Write(t, "bmp2.bmp", BuildBmp(two));

    Bmp a16 = s555;
    a16.infoSize = 108;
    a16.compression = 3;
    a16.masks = {0x7C00, 0x03E0, 0x001F, 0x8000};
    Write(t, "bmp16_v4_alpha1555.bmp", BuildBmp(a16));
    a16.infoSize = 124;
    a16.masks = {0x0F00, 0x00F0, 0x000F, 0xF000};
    Write(t, "bmp16_v5_alpha4444.bmp", BuildBmp(a16));
    a16.infoSize = 40;
    a16.compression = 6;
    Write(t, "bmp16_alphabitfields.bmp", BuildBmp(a16));

    Bmp os2 = four;
    os2.palette = pal16;
    os2.infoSize = 64;
    Write(t, "bmp_os2_64.bmp", BuildBmp(os2));
    os2.infoSize = 16;
    Write(t, "bmp_os2_16.bmp", BuildBmp(os2));
    Bmp huffman = one;
    huffman.infoSize = 64;
    huffman.compression = 3;
    Write(t, "bmp_os2_huffman1d.bmp", BuildBmp(huffman));
    Bmp rle24 = b;
    rle24.height = 3;
    rle24.infoSize = 64;
    rle24.compression = 4;
    Write(t, "bmp_os2_rle24.bmp", BuildBmp(rle24));
}

// PNG and JPEG encoders: libpng and libjpeg write into memory.
void PngWrite(png_structp png, png_bytep data, png_size_t size) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), size);
}
void PngFlush(png_structp) {}

std::string EncodePng(int w, int h, int colorType, int depth, bool interlace) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        std::fprintf(stderr, "PNG encoding failed\n");
        std::exit(1);
    }
    png_set_write_fn(png, &out, PngWrite, PngFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), depth,
                 colorType, interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        png_color palette[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
        png_set_PLTE(png, info, palette, 4);
        png_byte alpha[2] = {0, 128};
        png_set_tRNS(png, info, alpha, 2, nullptr);
    }
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    std::vector<png_byte> row(rowBytes);
    for (int y = 0; y < h; y++) {
        for (size_t i = 0; i < rowBytes; i++) {
            row[i] = static_cast<png_byte>(colorType == PNG_COLOR_TYPE_PALETTE
                                               ? ((i + static_cast<size_t>(y)) % 4) * 0x55 & 0xFF
                                               : (i * 37 + static_cast<size_t>(y) * 91) & 0xFF);
        }
        (void)channels;
        if (interlace) {
            continue;
        }
        png_write_row(png, row.data());
    }
    if (interlace) {
        std::vector<std::vector<png_byte>> rows(static_cast<size_t>(h), row);
        std::vector<png_bytep> pointers;
        for (auto& r : rows) {
            pointers.push_back(r.data());
        }
        png_write_image(png, pointers.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::string EncodeJpeg(int w, int h, bool grey, bool progressive) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long memSize = 0;
    jpeg_mem_dest(&cinfo, &mem, &memSize);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 75, TRUE);
    if (progressive) {
        jpeg_simple_progression(&cinfo);
    }
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<size_t>(w * cinfo.input_components));
    while (cinfo.next_scanline < cinfo.image_height) {
        for (size_t i = 0; i < row.size(); i++) {
            row[i] = static_cast<unsigned char>((i * 23 + cinfo.next_scanline * 41) & 0xFF);
        }
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&cinfo, &pointer, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::string out(reinterpret_cast<const char*>(mem), memSize);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return out;
}

void StreamSeeds() {
    const std::string t = "fuzz_image";
    const std::string rgb = EncodePng(5, 4, PNG_COLOR_TYPE_RGB, 8, false);
    Write(t, "png_rgb8.png", rgb);
    Write(t, "png_rgb8_truncated.png", rgb.substr(0, rgb.size() - 20));
    Write(t, "png_rgba8.png", EncodePng(4, 3, PNG_COLOR_TYPE_RGB_ALPHA, 8, false));
    Write(t, "png_grey16.png", EncodePng(4, 3, PNG_COLOR_TYPE_GRAY, 16, false));
    Write(t, "png_grey_alpha.png", EncodePng(3, 3, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false));
    Write(t, "png_palette2.png", EncodePng(7, 3, PNG_COLOR_TYPE_PALETTE, 2, false));
    Write(t, "png_interlaced.png", EncodePng(9, 9, PNG_COLOR_TYPE_RGB, 8, true));

    const std::string jpeg = EncodeJpeg(8, 8, false, false);
    Write(t, "jpeg_rgb.jpg", jpeg);
    Write(t, "jpeg_truncated_header.jpg", jpeg.substr(0, jpeg.size() / 3));
    Write(t, "jpeg_truncated_pixels.jpg", jpeg.substr(0, jpeg.find("\xFF\xDA") + 30));
    Write(t, "jpeg_grey.jpg", EncodeJpeg(9, 7, true, false));
    Write(t, "jpeg_progressive.jpg", EncodeJpeg(16, 9, false, true));

    // Whole streams as a BMP's pixel data (BI_JPEG = 4, BI_PNG = 5).
    Bmp embedded;
    embedded.width = 8;
    embedded.height = 8;
    embedded.bits = 0;
    embedded.compression = 4;
    embedded.pixels = jpeg;
    Write(t, "bmp_embedded_jpeg.bmp", BuildBmp(embedded));
    embedded.width = 4;
    embedded.height = 3;
    embedded.compression = 5;
    embedded.pixels = EncodePng(4, 3, PNG_COLOR_TYPE_RGB_ALPHA, 8, false);
    Write(t, "bmp_embedded_png.bmp", BuildBmp(embedded));
}

// A project file; first byte of a seed: bit 0 set = the reference picture lies beside it.
std::string Project(const std::string& sequence, const std::string& intrinsics,
                    const std::string& tracks, const std::string& cameras) {
    return "#camera track project file\n<Image Sequence>\n" + sequence +
           "</Image Sequence>\n<intrinsic parameter>\n" + intrinsics + "</intrinsic parameter>\n" +
           tracks + "<Camera Track>\n" + cameras + "</Camera Track>\n";
}

std::string Block(int i, double tz) {
    char text[200];
    std::snprintf(text, sizeof(text), "<FRAME%d>\n1000 1 0 0 0.%d 0 1 0 0 0 0 1 %g\n</FRAME%d>\n",
                  i, i, tz, i);
    return text;
}

void ProjectSeeds() {
    const std::string t = "fuzz_project";
    const std::string seq3 = "Sequence:./ref0000.bmp\nstart:0\nstep:1\nend:2\n";
    const std::string intr = "1000 1000 1 1 0\n";
    const std::string feat =
        "<Feature Tracks>\n2\n2 7 0 0.1 0.2 5.0 0 10.5 20.5 1 11.5 21.5\n"
        "1 8 3 4.0 5.0 6.0 2 30.0 40.0\n</Feature Tracks>\n";
    const std::string cams = Block(0, 0.0) + Block(1, 0.5) + Block(2, 1.0);
    const std::string valid = Project(seq3, intr, feat, cams);
    Write(t, "valid", "\x01" + valid);
    Write(t, "valid_no_picture", std::string(1, '\0') + valid);

    std::string crlf;
    for (char c : valid) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    Write(t, "crlf", "\x01" + crlf);

    Write(t, "kpts",
          "\x01" + Project(seq3, "1000 900 1 1 0 1.5\n",
                           "<Feature Tracks>\nkpts: 2 1\n1 5 0 0 0 4 1 2.5 3.5 9 9\n"
                           "</Feature Tracks>\n",
                           cams));
    Write(t, "no_feature_tracks", "\x01" + Project(seq3, intr, "", cams));
    Write(t, "missing_frame1", "\x01" + Project(seq3, intr, feat, Block(0, 0) + Block(2, 1)));
    Write(t, "frames_out_of_order",
          "\x01" + Project(seq3, intr, feat, Block(1, 0) + Block(0, 1) + Block(2, 2)));
    Write(t, "huge_counts",
          "\x01" + Project(seq3, intr,
                           "<Feature Tracks>\n2000000000\n2000000000 1 0 1 1 1 0 1 1\n"
                           "</Feature Tracks>\n",
                           cams));
    Write(t, "negative_counts",
          "\x01" +
              Project(seq3, intr, "<Feature Tracks>\n1\n-5 1 0 1 1 1\n</Feature Tracks>\n", cams));
    Write(t, "frame_index_outside",
          "\x01" + Project(seq3, intr,
                           "<Feature Tracks>\n1\n3 1 0 0 0 4 -1 1 1 3 2 2 2 3 3\n"
                           "</Feature Tracks>\n",
                           cams));
    Write(
        t, "step_and_range",
        "\x01" + Project("Sequence: ./ref0000.bmp \nstart:10\nstep:5\nend:20\n", intr, feat, cams));
    Write(t, "end_far_below_start",
          "\x01" + Project("Sequence:./ref0000.bmp\nstart:2000000000\nend:-2000000000\n", intr,
                           feat, cams));
    Write(t, "missing_image_sequence",
          "\x01#camera track project file\n<intrinsic parameter>\n1 1 1 1 0\n"
          "</intrinsic parameter>\n<Camera Track>\n" +
              cams + "</Camera Track>\n");
    Write(t, "no_header", "\x01" + valid.substr(valid.find('\n') + 1));
    std::string cut = valid.substr(0, valid.find("<FRAME1>") + 12);
    Write(t, "truncated_in_camera_track", "\x01" + cut);
    Write(t, "long_key_value",
          "\x01" + Project("Sequence:" + std::string(1200, 'a') + ".bmp\n", intr, feat, cams));
}

void TextSeeds() {
    const std::string t = "fuzz_text";
    Write(t, "tags",
          "#camera track project file\n<Image Sequence>\nSequence:./a0001.bmp\nstart:1\n"
          "</Image Sequence>\n<Camera Track><FRAME0>1 2 3</FRAME0>\n</Camera Track>\n");
    Write(t, "crlf_words", "12 -3.5e2 +7 0x1p3 inf nan 1e400\r\n\tabc\r\ndef 1e-400");
    Write(t, "names", "C:\\data/seq\\img0001.jpg\n./seq/img\nimg9999.jpg a/b.tar.gz 0007.");
    std::string longLine(10005, 'x');
    longLine[9998] = '\n';
    Write(t, "long_line", longLine + "\n" + std::string(1003, 'w') + " end");
}

// COLMAP models for fuzz_colmap: a form byte (1 binary, 0 text), the cameras' and images'
// lengths as 32-bit little-endian numbers, then the three files.
std::string ColmapInput(bool binary, const zelinterop::ColmapFiles& f) {
    std::string out(1, binary ? '\1' : '\0');
    Put(out, static_cast<uint32_t>(f.cameras.size()), 4);
    Put(out, static_cast<uint32_t>(f.images.size()), 4);
    return out + f.cameras + f.images + f.points3D;
}

void ColmapSeeds() {
    using namespace zelinterop;
    ColmapModel m;
    ColmapCamera camera;
    camera.id = 1;
    camera.model = kPinhole;
    camera.width = 320;
    camera.height = 240;
    camera.params = {300.0, 290.0, 160.5, 120.5};
    m.cameras.push_back(camera);
    for (uint32_t i = 0; i < 3; i++) {
        ColmapImage image;
        image.id = 3 - i;
        image.camera = 1;
        image.q[0] = 0.99;
        image.q[2] = 0.01 * i;
        image.t[0] = -0.1 * i;
        image.name = "seq/f0" + std::to_string(i) + ".png";
        image.points.push_back({160.5 - 6.0 * i, 120.5, 7});
        image.points.push_back({20.25, 30.75, i == 2 ? 9 : -1});
        m.images.push_back(image);
    }
    ColmapPoint3D seen;
    seen.id = 7;
    seen.xyz[2] = 5.0;
    seen.rgb[0] = 200;
    seen.error = 0.5;
    seen.track = {{3, 0}, {2, 0}, {1, 0}};
    ColmapPoint3D once;
    once.id = 9;
    once.xyz[0] = 1.0;
    once.xyz[2] = 8.0;
    once.track = {{1, 1}};
    m.points = {seen, once};

    for (bool binary : {false, true}) {
        auto format = [binary](const ColmapModel& model) {
            return binary ? FormatColmapBinary(model) : FormatColmapText(model);
        };
        const std::string form = binary ? "binary_" : "text_";
        Write("fuzz_colmap", form + "three_frames", ColmapInput(binary, format(m)));
        Write("fuzz_colmap", form + "empty", ColmapInput(binary, format(ColmapModel())));

        ColmapModel gap = m;
        gap.images[0].name = "seq/f05.png";
        Write("fuzz_colmap", form + "gaps", ColmapInput(binary, format(gap)));

        ColmapModel two = m;
        two.cameras.push_back(camera);
        two.cameras[1].id = 2;
        two.cameras[1].model = kSimplePinhole;
        two.cameras[1].params = {310.0, 160.5, 120.5};
        two.images[1].camera = 2;
        Write("fuzz_colmap", form + "two_cameras", ColmapInput(binary, format(two)));

        ColmapModel radial = m;
        radial.cameras[0].model = kOpenCV;
        radial.cameras[0].params = {300.0, 290.0, 160.5, 120.5, 0.01, -0.002, 0.0, 0.0};
        Write("fuzz_colmap", form + "distortion", ColmapInput(binary, format(radial)));

        ColmapModel badRef = m;
        badRef.points[0].track[1].point2D = 5;
        Write("fuzz_colmap", form + "missing_point2d", ColmapInput(binary, format(badRef)));
    }
    // Binary near misses: cut inside the images, a count beyond the file.
    ColmapFiles cut = FormatColmapBinary(m);
    cut.images.resize(cut.images.size() - 30);
    Write("fuzz_colmap", "binary_cut", ColmapInput(true, cut));
    ColmapFiles big = FormatColmapBinary(m);
    big.points3D[5] = 1;
    Write("fuzz_colmap", "binary_big_count", ColmapInput(true, big));
    // Text near misses: a wrong parameter count, an odd 2D point line.
    ColmapFiles text = FormatColmapText(m);
    text.cameras += "2 SIMPLE_PINHOLE 320 240 300 160\n";
    Write("fuzz_colmap", "text_param_count", ColmapInput(false, text));
    text = FormatColmapText(m);
    text.images += "4 1 0 0 0 0 0 0 1 seq/f03.png\n1.5 2.5\n";
    Write("fuzz_colmap", "text_odd_points", ColmapInput(false, text));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    gRoot = argv[1];
    ImageSeeds();
    StreamSeeds();
    ProjectSeeds();
    TextSeeds();
    ColmapSeeds();
    return 0;
}
