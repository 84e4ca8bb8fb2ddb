// Writes the seed corpora of the fuzz targets: small valid inputs of every kind each target
// reads, and near misses (cut short, one field wrong). Usage: make_fuzz_seeds <corpus folder>;
// the files go to <folder>/fuzz_image, <folder>/fuzz_project, <folder>/fuzz_text and
// <folder>/fuzz_colmap.
// Built and run by tools/make_fuzz_seeds.sh; its output is committed.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "interop/colmap.h"
#include "tests/support/bmp.h"
#include "tests/support/colmap_model.h"
#include "tests/support/encode.h"

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

using testutil::Bmp;
using testutil::Bytes;
using testutil::PackedRows;
using testutil::Rows;

// A seed BMP: as most writers do, its header counts the palette's colours and, from the 108-byte
// header on, names its colour space sRGB.
std::string SeedBmp(Bmp b) {
    b.colorsUsed = static_cast<uint32_t>(b.palette.size());
    b.colorSpace = 0x73524742;  // "sRGB"

    return testutil::BuildBmp(b);
}

// A Bmp of the given size and depth; the rest as Bmp's defaults.
Bmp Picture(int32_t width, int32_t height, uint32_t bitCount) {
    Bmp b;
    b.width = width;
    b.height = height;
    b.bitCount = bitCount;
    return b;
}

// The palettes of the seeds' paletted pictures (blue, green, red).
using Palette = std::vector<std::array<uint8_t, 3>>;
Palette Pal2() {
    return {{0, 0, 0}, {255, 255, 255}};
}
Palette Pal16() {
    return {{0, 0, 0}, {0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {128, 128, 128}};
}

// The 24-bit BMPs, bottom-up and top-down, cut short and with the pixel offset beyond the file;
// returns the top-down picture.
Bmp TrueColourSeeds(const std::string& t) {
    Bmp b = Picture(4, 3, 24);
    b.pixels = Rows(4, 3, 3, [](int x, int y, int k) { return (x * 60 + y * 20 + k * 7) & 0xFF; });
    const std::string bmp24 = SeedBmp(b);
    Write(t, "bmp24.bmp", bmp24);
    b.height = -3;
    Write(t, "bmp24_topdown.bmp", SeedBmp(b));
    Write(t, "bmp24_truncated.bmp", bmp24.substr(0, bmp24.size() - 7));
    std::string farOffset = bmp24;
    farOffset[10] = 0x70;  // pixel offset beyond the file
    Write(t, "bmp24_offset_beyond.bmp", farOffset);
    return b;
}

// The paletted BMPs: 1, 2, 4 and 8 bits, run-length coded, with the small core header; one and
// four receive the 1-bit and the 4-bit picture (its palette cut short).
void PalettedSeeds(const std::string& t, Bmp& one, Bmp& four) {
    one = Picture(9, 3, 1);
    one.palette = Pal2();
    one.pixels = PackedRows(9, 3, 1, [](int x, int y) { return (x + y) & 1; });
    Write(t, "bmp1.bmp", SeedBmp(one));

    four = Picture(5, 3, 4);
    four.palette = Pal16();
    four.pixels = PackedRows(5, 3, 4, [](int x, int y) { return (x + y) % 5; });
    Write(t, "bmp4.bmp", SeedBmp(four));
    four.palette.resize(3);  // indices 3 and 4 lie beyond the palette
    Write(t, "bmp4_index_beyond_palette.bmp", SeedBmp(four));

    Bmp eight = Picture(4, 3, 8);
    eight.palette = Pal16();
    eight.pixels = Rows(4, 3, 1, [](int x, int y, int) { return (x * 3 + y) % 5; });
    Write(t, "bmp8.bmp", SeedBmp(eight));

    Bmp rle8 = Picture(4, 3, 8);
    rle8.compression = 1;
    rle8.palette = Pal16();
    rle8.pixels = Bytes({4, 1, 0, 0,                // run of four 1s, end of line
                         0, 3, 2, 3, 4, 0, 0, 0,    // absolute 2 3 4 (padded), end of line
                         0, 2, 1, 0, 2, 2, 0, 1});  // delta (+1, 0), run of two 2s, end
    Write(t, "bmp_rle8.bmp", SeedBmp(rle8));

    Bmp rle4 = Picture(5, 2, 4);
    rle4.compression = 2;
    rle4.palette = Pal16();
    rle4.pixels = Bytes({5, 0x12, 0, 0,     // 1 2 1 2 1, end of line
                         0, 3, 0x30, 0x20,  // absolute 3 0 2
                         0, 2, 1, 0, 1, 0x40, 0, 1});
    Write(t, "bmp_rle4.bmp", SeedBmp(rle4));

    Bmp core = Picture(4, 3, 8);
    core.infoSize = 12;
    core.palette = Pal16();
    core.pixels = Rows(4, 3, 1, [](int x, int, int) { return x; });
    Write(t, "bmp_core8.bmp", SeedBmp(core));

    Bmp two = Picture(7, 3, 2);
    two.palette = Pal16();
    two.palette.resize(4);
    two.pixels = PackedRows(7, 3, 2, [](int x, int y) { return (x + y) % 4; });
    Write(t, "bmp2.bmp", SeedBmp(two));
}

// The 16- and 32-bit BMPs, with and without colour masks, alpha from the larger headers on.
void MaskedSeeds(const std::string& t) {
    Bmp s555 = Picture(4, 3, 16);
    s555.pixels = Rows(4, 3, 2, [](int x, int y, int k) { return k ? (x * 9) & 0x7F : y * 40; });
    Write(t, "bmp16_555.bmp", SeedBmp(s555));
    Bmp s565 = s555;
    s565.compression = 3;
    s565.masks = {0xF800, 0x07E0, 0x001F};
    Write(t, "bmp16_565_bitfields.bmp", SeedBmp(s565));

    Bmp plain32 = Picture(4, 3, 32);
    plain32.pixels = Rows(4, 3, 4, [](int x, int y, int k) { return x * 50 + y * 11 + k; });
    Write(t, "bmp32.bmp", SeedBmp(plain32));
    Bmp v5 = plain32;
    v5.infoSize = 124;
    v5.compression = 3;
    v5.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    Write(t, "bmp32_v5_alpha.bmp", SeedBmp(v5));
    Bmp v4 = v5;
    v4.infoSize = 108;
    Write(t, "bmp32_v4_alpha.bmp", SeedBmp(v4));

    Bmp a16 = s555;
    a16.infoSize = 108;
    a16.compression = 3;
    a16.masks = {0x7C00, 0x03E0, 0x001F, 0x8000};
    Write(t, "bmp16_v4_alpha1555.bmp", SeedBmp(a16));
    a16.infoSize = 124;
    a16.masks = {0x0F00, 0x00F0, 0x000F, 0xF000};
    Write(t, "bmp16_v5_alpha4444.bmp", SeedBmp(a16));
    a16.infoSize = 40;
    a16.compression = 6;
    Write(t, "bmp16_alphabitfields.bmp", SeedBmp(a16));
}

// The OS/2 headers: 64 and 16 bytes, 1-D Huffman and 24-bit run-length coding.
void Os2Seeds(const std::string& t, const Bmp& b, const Bmp& one, const Bmp& four) {
    Bmp os2 = four;
    os2.palette = Pal16();
    os2.infoSize = 64;
    Write(t, "bmp_os2_64.bmp", SeedBmp(os2));
    os2.infoSize = 16;
    Write(t, "bmp_os2_16.bmp", SeedBmp(os2));
    Bmp huffman = one;
    huffman.infoSize = 64;
    huffman.compression = 3;
    Write(t, "bmp_os2_huffman1d.bmp", SeedBmp(huffman));
    Bmp rle24 = b;
    rle24.height = 3;
    rle24.infoSize = 64;
    rle24.compression = 4;
    Write(t, "bmp_os2_rle24.bmp", SeedBmp(rle24));
}

void ImageSeeds() {
    const std::string t = "fuzz_image";
    const Bmp b = TrueColourSeeds(t);
    Bmp one;
    Bmp four;
    PalettedSeeds(t, one, four);
    MaskedSeeds(t);
    Os2Seeds(t, b, one, four);
}

// The PNG seeds' stored rows: palette rows of 2-bit indices repeated four to a byte, other rows
// a byte ramp; an interlaced seed repeats its last row.
std::string SeedPng(int w, int h, int colorType, int depth, bool interlace) {
    const bool palette = colorType == PNG_COLOR_TYPE_PALETTE;
    return testutil::EncodePngRows(
        w, h, colorType, depth, interlace,
        [palette, interlace, h](int y, size_t i) {
            const size_t row = static_cast<size_t>(interlace ? h - 1 : y);
            return static_cast<int>(palette ? ((i + row) % 4) * 0x55 & 0xFF
                                            : (i * 37 + row * 91) & 0xFF);
        },
        palette ? std::vector<png_color>{{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}}
                : std::vector<png_color>{},
        palette ? std::vector<png_byte>{0, 128} : std::vector<png_byte>{});
}

// The JPEG seeds at quality 75: sample k of a row is (23 k + 41 y) mod 256.
std::string SeedJpeg(int w, int h, bool grey, bool progressive) {
    const int n = grey ? 1 : 3;
    return testutil::EncodeJpeg(w, h, grey ? JCS_GRAYSCALE : JCS_RGB, n, 75, progressive,
                                [n](int x, int y) {
                                    std::vector<int> s;
                                    for (int c = 0; c < n; c++) {
                                        s.push_back(((x * n + c) * 23 + y * 41) & 0xFF);
                                    }
                                    return s;
                                });
}

void StreamSeeds() {
    const std::string t = "fuzz_image";
    const std::string rgb = SeedPng(5, 4, PNG_COLOR_TYPE_RGB, 8, false);
    Write(t, "png_rgb8.png", rgb);
    Write(t, "png_rgb8_truncated.png", rgb.substr(0, rgb.size() - 20));
    Write(t, "png_rgba8.png", SeedPng(4, 3, PNG_COLOR_TYPE_RGB_ALPHA, 8, false));
    Write(t, "png_grey16.png", SeedPng(4, 3, PNG_COLOR_TYPE_GRAY, 16, false));
    Write(t, "png_grey_alpha.png", SeedPng(3, 3, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false));
    Write(t, "png_palette2.png", SeedPng(7, 3, PNG_COLOR_TYPE_PALETTE, 2, false));
    Write(t, "png_interlaced.png", SeedPng(9, 9, PNG_COLOR_TYPE_RGB, 8, true));

    const std::string jpeg = SeedJpeg(8, 8, false, false);
    Write(t, "jpeg_rgb.jpg", jpeg);
    Write(t, "jpeg_truncated_header.jpg", jpeg.substr(0, jpeg.size() / 3));
    Write(t, "jpeg_truncated_pixels.jpg", jpeg.substr(0, jpeg.find("\xFF\xDA") + 30));
    Write(t, "jpeg_grey.jpg", SeedJpeg(9, 7, true, false));
    Write(t, "jpeg_progressive.jpg", SeedJpeg(16, 9, false, true));

    // Whole streams as a BMP's pixel data (BI_JPEG = 4, BI_PNG = 5).
    Bmp embedded = Picture(8, 8, 0);
    embedded.compression = 4;
    embedded.pixels = jpeg;
    Write(t, "bmp_embedded_jpeg.bmp", SeedBmp(embedded));
    embedded.width = 4;
    embedded.height = 3;
    embedded.compression = 5;
    embedded.pixels = SeedPng(4, 3, PNG_COLOR_TYPE_RGB_ALPHA, 8, false);
    Write(t, "bmp_embedded_png.bmp", SeedBmp(embedded));
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
    testutil::Put32(out, static_cast<uint32_t>(f.cameras.size()));
    testutil::Put32(out, static_cast<uint32_t>(f.images.size()));
    return out + f.cameras + f.images + f.points3D;
}

void ColmapSeeds() {
    using namespace zelinterop;
    // The tests' three-frame model with other ids, names and poses, another fy, a coloured
    // point with an error, and point 9 instead of 8.
    ColmapModel m = testutil::ThreeFrameModel();
    m.cameras[0].params[1] = 290.0;
    for (uint32_t i = 0; i < 3; i++) {
        ColmapImage& image = m.images[i];
        image.id = 3 - i;
        image.q[0] = 0.99;
        image.q[2] = 0.01 * i;
        image.name = "seq/f0" + std::to_string(i) + ".png";
        image.points[1].point3D = i == 2 ? 9 : -1;
    }
    ColmapPoint3D& seen = m.points[0];
    seen.rgb[0] = 200;
    seen.error = 0.5;
    seen.track = {{3, 0}, {2, 0}, {1, 0}};
    ColmapPoint3D& once = m.points[1];
    once.id = 9;
    once.track = {{1, 1}};

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
        two.cameras.push_back(m.cameras[0]);
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
