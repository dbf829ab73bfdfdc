#include "TileImage.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>
#include <zlib.h>

#include "Geometry.h"
#include "TileCache.h"

namespace {

TReadError Fail(std::string reason) {
    return ContentError(std::move(reason));
}

// ---------------------------------------------------------------- PNG

// The simplified API frees its own state on errors; freeing again on every
// exit path is harmless and covers the early returns.
struct TPngImageGuard {
    png_image* Image;
    ~TPngImageGuard() { png_image_free(Image); }
};

// ---------------------------------------------------------------- JPEG
//
// libjpeg reports fatal errors through error_exit, which we turn into a
// longjmp back to the one setjmp in RunJpegStep. The steps run between setjmp
// and longjmp own no C++ objects, so nothing is skipped that needs a
// destructor; buffers are allocated before a step starts and freed by their
// owners afterwards.

// Progressive files may carry any number of scans, each one a pass over the
// whole coefficient buffer; a hostile file could keep the decoder busy for
// minutes. Real tiles have at most a dozen.
constexpr int MaxJpegScans = 200;

struct TJpegError {
    jpeg_error_mgr Pub;     // first, so the library's pointer is ours
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->Message);
    std::longjmp(err->Jump, 1);
}

// Warnings are not printed. A premature end of data is fatal: libjpeg would
// otherwise pad the picture with grey and call it a success.
void JpegEmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    cinfo->err->num_warnings++;
    if (cinfo->err->msg_code == JWRN_JPEG_EOF) JpegErrorExit(cinfo);
}

void JpegProgress(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > MaxJpegScans) {
        auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
        std::snprintf(err->Message, sizeof err->Message, "JPEG has more than %d scans", MaxJpegScans);
        std::longjmp(err->Jump, 1);
    }
}

void InitJpegError(TJpegError& err) {
    jpeg_std_error(&err.Pub);
    err.Pub.error_exit = JpegErrorExit;
    err.Pub.emit_message = JpegEmitMessage;
    err.Message[0] = '\0';
}

// The only setjmp. Its frame holds nothing but plain pointers that do not
// change after setjmp, so they are valid again after a longjmp.
template <typename TContext>
bool RunJpegStep(TJpegError& err, void (*step)(TContext&), TContext& context) {
    if (setjmp(err.Jump) != 0) return false;
    step(context);
    return true;
}

struct TJpegDecompress {
    jpeg_decompress_struct Info{};
    TJpegError Err{};
    jpeg_progress_mgr Progress{};
    ~TJpegDecompress() { jpeg_destroy_decompress(&Info); }  // safe also on a struct never created
};

struct TJpegDecodeContext {
    jpeg_decompress_struct* Info;
    const std::uint8_t* Data;
    std::size_t Size;
    JSAMPROW* Rows;  // one pointer per output row, set before the second step
};

void JpegReadHeaderStep(TJpegDecodeContext& c) {
    jpeg_create_decompress(c.Info);
    jpeg_mem_src(c.Info, c.Data, static_cast<unsigned long>(c.Size));
    jpeg_read_header(c.Info, TRUE);
    // libjpeg converts everything but CMYK/YCCK to RGB itself.
    if (c.Info->jpeg_color_space == JCS_CMYK || c.Info->jpeg_color_space == JCS_YCCK)
        c.Info->out_color_space = JCS_CMYK;
    else
        c.Info->out_color_space = JCS_RGB;
    jpeg_calc_output_dimensions(c.Info);
}

void JpegReadPixelsStep(TJpegDecodeContext& c) {
    jpeg_start_decompress(c.Info);
    const JDIMENSION height = c.Info->output_height;
    while (c.Info->output_scanline < height) {
        const JDIMENSION done = c.Info->output_scanline;
        // All remaining rows at once: libjpeg fills as many as it can per call.
        if (jpeg_read_scanlines(c.Info, c.Rows + done, height - done) == 0)
            ERREXIT(c.Info, JERR_INPUT_EMPTY);
    }
    jpeg_finish_decompress(c.Info);
}

// Adobe writers store CMYK inverted (0 = full ink); others store it plainly.
void CmykToRgb(const std::uint8_t* cmyk, std::size_t pixels, bool inverted, std::uint8_t* rgb) {
    for (std::size_t i = 0; i < pixels; ++i, cmyk += 4, rgb += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        rgb[0] = std::uint8_t((c * k + 127) / 255);
        rgb[1] = std::uint8_t((m * k + 127) / 255);
        rgb[2] = std::uint8_t((y * k + 127) / 255);
    }
}

struct TJpegCompress {
    jpeg_compress_struct Info{};
    TJpegError Err{};
    unsigned char* Buffer = nullptr;   // jpeg_mem_dest's buffer, malloc'ed
    unsigned char* Initial = nullptr;  // ours; libjpeg does not free it if it grows the buffer
    ~TJpegCompress() {
        jpeg_destroy_compress(&Info);
        if (Buffer != Initial) std::free(Buffer);
        std::free(Initial);
    }
};

struct TJpegEncodeContext {
    jpeg_compress_struct* Info;
    unsigned char** Buffer;
    unsigned long* Size;
    int Width;
    int Height;
    int Quality;
    JSAMPROW* Rows;
};

void JpegEncodeStep(TJpegEncodeContext& c) {
    jpeg_create_compress(c.Info);
    jpeg_mem_dest(c.Info, c.Buffer, c.Size);
    c.Info->image_width = JDIMENSION(c.Width);
    c.Info->image_height = JDIMENSION(c.Height);
    c.Info->input_components = 3;
    c.Info->in_color_space = JCS_RGB;
    jpeg_set_defaults(c.Info);
    jpeg_set_quality(c.Info, c.Quality, TRUE);
    // Phone readers expect plain baseline files with the standard tables.
    c.Info->optimize_coding = FALSE;
    c.Info->write_JFIF_header = TRUE;
    jpeg_start_compress(c.Info, TRUE);
    const JDIMENSION height = c.Info->image_height;
    while (c.Info->next_scanline < height) {
        const JDIMENSION done = c.Info->next_scanline;
        if (jpeg_write_scanlines(c.Info, c.Rows + done, height - done) == 0) ERREXIT(c.Info, JERR_CANT_SUSPEND);
    }
    jpeg_finish_compress(c.Info);
}

bool StartsWithPngSignature(const std::vector<std::uint8_t>& bytes) {
    return bytes.size() >= 8 && png_sig_cmp(bytes.data(), 0, 8) == 0;
}

bool StartsWithJpegSoi(const std::vector<std::uint8_t>& bytes) {
    return bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8;
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Every chunk whole and matching its CRC, at least one IDAT, IEND reached.
// The CRCs cover the compressed pixels, so a body damaged on the way or cut
// short fails here at a fraction of a decode's cost; the decoder still
// judges the pixels when the tile is used, and a cached tile that fails
// then is fetched again.
std::optional<std::string> PngChunksFault(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 8;
    bool sawData = false;
    while (bytes.size() - at >= 12) {
        const std::uint32_t length = BigEndian32(&bytes[at]);
        if (length > 0x7FFFFFFFu || length > bytes.size() - at - 12) return "PNG chunk runs past the end";
        const std::uint8_t* type = &bytes[at + 4];
        const auto crc = crc32(crc32(0L, Z_NULL, 0), type, uInt(length + 4));
        if (crc != BigEndian32(type + 4 + length)) return "PNG chunk CRC mismatch";
        if (std::memcmp(type, "IDAT", 4) == 0) sawData = true;
        if (std::memcmp(type, "IEND", 4) == 0) {
            if (!sawData) return "PNG has no image data";
            return std::nullopt;
        }
        at += 12 + length;
    }
    return "PNG ends before its IEND chunk";
}

}  // namespace

TReadResult<TBitmap> DecodePng(const std::uint8_t* data, std::size_t size, int maxSide) {
    if (data == nullptr || size < 8 || png_sig_cmp(data, 0, 8) != 0) return Fail("PNG signature missing");

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    TPngImageGuard guard{&image};
    if (!png_image_begin_read_from_memory(&image, data, size))
        return Fail(std::string("PNG header: ") + image.message);
    if (image.width == 0 || image.height == 0 || image.width > png_uint_32(maxSide) ||
        image.height > png_uint_32(maxSide))
        return Fail("PNG of " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                               " is over the limit of " + std::to_string(maxSide) + " pixels a side");

    // Alpha also covers tRNS; without either the rows go straight to RGB.
    const bool hasAlpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    image.format = PNG_FORMAT_RGB;
    TBitmap bitmap(int(image.width), int(image.height));
    const png_color white{255, 255, 255};
    if (!png_image_finish_read(&image, hasAlpha ? &white : nullptr, bitmap.Rgb.data(), 0, nullptr))
        return Fail(std::string("PNG data: ") + image.message);
    return bitmap;
}

TReadResult<TBitmap> DecodeJpeg(const std::uint8_t* data, std::size_t size, int maxSide) {
    if (data == nullptr || size == 0) return Fail("JPEG: no data");

    TJpegDecompress jpeg;
    InitJpegError(jpeg.Err);
    jpeg.Info.err = &jpeg.Err.Pub;
    TJpegDecodeContext context{&jpeg.Info, data, size, nullptr};

    if (!RunJpegStep(jpeg.Err, JpegReadHeaderStep, context))
        return Fail(std::string("JPEG header: ") + jpeg.Err.Message);

    const JDIMENSION width = jpeg.Info.output_width;
    const JDIMENSION height = jpeg.Info.output_height;
    if (width == 0 || height == 0 || width > JDIMENSION(maxSide) || height > JDIMENSION(maxSide))
        return Fail("JPEG of " + std::to_string(width) + " x " + std::to_string(height) +
                               " is over the limit of " + std::to_string(maxSide) + " pixels a side");
    const int components = jpeg.Info.output_components;
    if (components != 3 && components != 4) return Fail("JPEG: unexpected output components");

    TBitmap bitmap{int(width), int(height)};
    std::vector<std::uint8_t> cmyk;
    std::uint8_t* pixels = bitmap.Rgb.data();
    if (components == 4) {
        cmyk.resize(std::size_t(width) * height * 4);
        pixels = cmyk.data();
    }
    std::vector<JSAMPROW> rows(height);
    for (JDIMENSION y = 0; y < height; ++y) rows[y] = pixels + std::size_t(y) * width * components;
    context.Rows = rows.data();

    jpeg.Progress.progress_monitor = JpegProgress;
    jpeg.Info.progress = &jpeg.Progress;
    if (!RunJpegStep(jpeg.Err, JpegReadPixelsStep, context))
        return Fail(std::string("JPEG data: ") + jpeg.Err.Message);

    if (components == 4) CmykToRgb(cmyk.data(), std::size_t(width) * height, jpeg.Info.saw_Adobe_marker, bitmap.Rgb.data());
    return bitmap;
}

TReadResult<TPictureSize> ReadPictureSize(const std::vector<std::uint8_t>& bytes) {
    if (StartsWithPngSignature(bytes)) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        TPngImageGuard guard{&image};
        if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
            return Fail(std::string("PNG header: ") + image.message);
        // Beyond int they are over every limit anyway.
        const auto side = [](png_uint_32 v) { return int(std::min<png_uint_32>(v, 0x7FFFFFFF)); };
        return TPictureSize{side(image.width), side(image.height)};
    }
    if (StartsWithJpegSoi(bytes)) {
        TJpegDecompress jpeg;
        InitJpegError(jpeg.Err);
        jpeg.Info.err = &jpeg.Err.Pub;
        TJpegDecodeContext context{&jpeg.Info, bytes.data(), bytes.size(), nullptr};
        if (!RunJpegStep(jpeg.Err, JpegReadHeaderStep, context)) return Fail(std::string("JPEG header: ") + jpeg.Err.Message);
        return TPictureSize{int(jpeg.Info.output_width), int(jpeg.Info.output_height)};
    }
    return Fail("neither PNG nor JPEG");
}

std::optional<TFault> CheckTileBody(const std::vector<std::uint8_t>& body, long httpStatus) {
    TFault fault;
    fault.HttpStatus = httpStatus;
    const auto failed = [&](TFaultKind kind, std::string detail = {}) {
        fault.Kind = kind;
        fault.Detail = std::move(detail);
        return fault;
    };
    std::string typeName;
    if (!DetectImageType(body.data(), body.size(), typeName)) return failed(TFaultKind::NoImage);
    if (typeName == "GIF") return failed(TFaultKind::GifPicture);
    const auto size = ReadPictureSize(body);
    if (!size) return failed(TFaultKind::DamagedPicture, size.Error().Text);
    if (size->Width != TileSize || size->Height != TileSize) {
        fault.Number = size->Width;
        fault.Number2 = size->Height;
        return failed(TFaultKind::WrongPictureSize);
    }
    if (typeName == "PNG") {
        if (auto damage = PngChunksFault(body)) return failed(TFaultKind::DamagedPicture, std::move(*damage));
        return std::nullopt;
    }
    // JPEG carries no checksum: only a decode tells a damaged one. The header
    // said a tile's size; the decoder holds it to that before allocating.
    const auto picture = DecodeJpeg(body.data(), body.size(), TileSize);
    if (!picture) return failed(TFaultKind::DamagedPicture, picture.Error().Text);
    return std::nullopt;
}

TReadResult<TBitmap> DecodeTileBytes(const std::vector<std::uint8_t>& bytes, const std::string& typeName) {
    if (typeName == "JPG") return DecodeJpeg(bytes.data(), bytes.size());
    if (StartsWithPngSignature(bytes)) return DecodePng(bytes.data(), bytes.size());
    if (StartsWithJpegSoi(bytes)) return DecodeJpeg(bytes.data(), bytes.size());
    return Fail(std::string("no decoder for this content") +
                (typeName == "GIF" ? " (GIF tiles cannot be decoded)" : ""));
}

std::vector<std::uint8_t> EncodeJpeg(const TBitmap& bitmap, int quality) {
    std::vector<std::uint8_t> out;
    if (bitmap.Width <= 0 || bitmap.Height <= 0 || bitmap.Width > JPEG_MAX_DIMENSION ||
        bitmap.Height > JPEG_MAX_DIMENSION ||
        bitmap.Rgb.size() != std::size_t(bitmap.Width) * std::size_t(bitmap.Height) * 3)
        throw TImageError("JPEG encode: bitmap size " + std::to_string(bitmap.Width) + " x " +
                          std::to_string(bitmap.Height) + " does not fit its pixels or JPEG limits");

    TJpegCompress jpeg;
    InitJpegError(jpeg.Err);
    jpeg.Info.err = &jpeg.Err.Pub;

    // Sized for the worst case of 4:2:0 so that libjpeg never has to grow it:
    // a buffer it grows itself is lost if an error follows.
    const std::size_t padded = ((std::size_t(bitmap.Width) + 15) & ~std::size_t(15)) *
                               ((std::size_t(bitmap.Height) + 15) & ~std::size_t(15));
    unsigned long capacity = static_cast<unsigned long>(padded * 3 + 4096);
    jpeg.Initial = static_cast<unsigned char*>(std::malloc(capacity));
    if (jpeg.Initial == nullptr) throw TImageError("JPEG encode: out of memory");
    jpeg.Buffer = jpeg.Initial;

    // libjpeg never writes through input rows; its API just lacks const.
    std::vector<JSAMPROW> rows(std::size_t(bitmap.Height));
    for (int y = 0; y < bitmap.Height; ++y) rows[std::size_t(y)] = const_cast<JSAMPROW>(bitmap.Row(y));

    TJpegEncodeContext context{&jpeg.Info, &jpeg.Buffer, &capacity, bitmap.Width, bitmap.Height, quality,
                               rows.data()};
    if (!RunJpegStep(jpeg.Err, JpegEncodeStep, context)) throw TImageError(std::string("JPEG encode: ") + jpeg.Err.Message);
    out.assign(jpeg.Buffer, jpeg.Buffer + capacity);
    return out;
}

std::vector<std::uint8_t> EncodePng(const TBitmap& bitmap) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(bitmap.Width);
    image.height = png_uint_32(bitmap.Height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    std::vector<std::uint8_t> out;
    if (!bitmap.Empty() && bitmap.Rgb.size() == std::size_t(bitmap.Width) * std::size_t(bitmap.Height) * 3 &&
        png_image_write_to_memory(&image, nullptr, &size, 0, bitmap.Rgb.data(), 0, nullptr)) {
        out.resize(size);
        if (png_image_write_to_memory(&image, out.data(), &size, 0, bitmap.Rgb.data(), 0, nullptr)) {
            out.resize(size);
            return out;
        }
    }
    const std::string why = image.message[0] ? image.message : "invalid bitmap";
    png_image_free(&image);
    throw TImageError("PNG encode: " + why);
}
