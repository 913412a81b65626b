// Decoder set-up, the picture header and the picture loop.
#include "video/h263_decoder.h"

#include "core/util.h"
#include "video/h263_recon.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kv::video {

H263Decoder::H263Decoder(int mbCols, int mbRows)
    : mbCols_(std::clamp(mbCols, 1, 30)), mbRows_(std::clamp(mbRows, 1, 30)), models_(&builtinSacModels())
{
    width_ = 16 * mbCols_;
    // The program's pictures are 160 x 120; only 7 macroblock rows are coded.
    height_ = (mbCols_ == 10 && mbRows_ == 7) ? 120 : 16 * mbRows_;
    chromWidth_ = width_ / 2;
    chromHeight_ = height_ / 2;
    // Stores start zeroed, so a stream that begins with a P-picture decodes
    // the same way every time.
    for (auto &set : stores_) {
        set[0].assign(static_cast<size_t>(width_ * height_), 0);
        set[1].assign(static_cast<size_t>(chromWidth_ * chromHeight_), 0);
        set[2].assign(static_cast<size_t>(chromWidth_ * chromHeight_), 0);
    }
    for (int c = 0; c < 3; ++c) {
        refframe_[c] = stores_[0][c].data();
        oldrefframe_[c] = stores_[1][c].data();
        bframe_[c] = stores_[2][c].data();
        const int edge = c == 0 ? 32 : 16;
        const int w = (c == 0 ? width_ : chromWidth_) + 2 * edge, h = (c == 0 ? height_ : chromHeight_) + 2 * edge;
        edgeStore_[c].assign(static_cast<size_t>(w * h), 0);
        edgeframe_[c] = edgeStore_[c].data() + edge * w + edge;
    }
    mv_.assign(static_cast<size_t>(2 * 5 * (mbRows_ + 1) * (mbCols_ + 2)), 0);
    modemap_.assign(static_cast<size_t>((mbRows_ + 1) * (mbCols_ + 2)), 0);
    std::memset(coef_, 0, sizeof coef_);
}

PictureView H263Decoder::current() const
{
    return PictureView{refframe_[0], refframe_[1], refframe_[2], width_, height_};
}

H263Decoder::Result H263Decoder::decodePicture(const uint8_t *data, size_t size, int &counter)
{
    // The picture, a zero byte, the end-of-sequence code 00 00 FC that stops
    // the decoder behind it, and zeroed slack for the look-ahead.
    static constexpr uint8_t kTail[4] = {0x00, 0x00, 0x00, 0xFC};
    input_.assign(data, data + size);
    input_.insert(input_.end(), kTail, kTail + 4);
    input_.resize(input_.size() + H263BitReader::kSlack, 0);
    bits_.reset(input_.data(), size + 4);
    damaged_ = false;

    int gn = 0;
    if (!getheader(gn))
        return Result::NoPicture;
    if (gn != 0) {
        error("H.263: the video record does not start with a picture header; skipped\n");
        return Result::Refused;
    }
    if (!getpicturehdr())
        return Result::Refused;
    if (syntax_arith_coding_) {
        if (!models_->complete())
            return Result::ArithUnsupported;
        sac_.reset(bits_);
    }
    getpicture(counter);
    return Result::Decoded;
}

bool H263Decoder::getheader(int &gn)
{
    if (!bits_.startcode())
        return false;
    bits_.flushbits(17);
    gn = static_cast<int>(bits_.getbits(5));
    return gn != 31;
}

bool H263Decoder::getpicturehdr()
{
    prev_temp_ref_ = temp_ref_;
    temp_ref_ = static_cast<int>(bits_.getbits(8));
    trd_ = temp_ref_ - prev_temp_ref_;
    if (trd_ < 0)
        trd_ += 256;
    bits_.getbits(2); // marker and zero bit
    if (bits_.getbits1())
        ShowFatalError("split-screen not supported");
    bits_.getbits(2); // document camera, freeze picture release
    source_format_ = static_cast<int>(bits_.getbits(3));
    pict_type_ = static_cast<int>(bits_.getbits1());
    mv_outside_frame_ = static_cast<int>(bits_.getbits1());
    long_vectors_ = mv_outside_frame_;
    syntax_arith_coding_ = static_cast<int>(bits_.getbits1());
    adv_pred_mode_ = static_cast<int>(bits_.getbits1());
    if (adv_pred_mode_)
        mv_outside_frame_ = 1;
    pb_frame_ = static_cast<int>(bits_.getbits1());
    // PQUANT 0 does not exist; 1 keeps the inverse quantiser meaningful.
    quant_ = std::max(1, static_cast<int>(bits_.getbits(5)));
    cpm_ = static_cast<int>(bits_.getbits1());
    if (cpm_) {
        ShowFatalError("CPM not supported");
        bits_.getbits(2); // PSBI: read so that the fields behind it stay in step
    }
    if (pb_frame_) {
        trb_ = static_cast<int>(bits_.getbits(3));
        bquant_ = static_cast<int>(bits_.getbits(2));
    } else {
        trb_ = 0;
    }
    while (bits_.getbits1()) // PEI, PSPARE
        bits_.getbits(8);
    if (pb_frame_ && trd_ == 0) {
        // The B-vectors are scaled by TRB / TRD.
        error("H.263: PB-frame with the temporal reference of the previous picture; skipped\n");
        return false;
    }
    return true;
}

void H263Decoder::getpicture(int &counter)
{
    for (int c = 0; c < 3; ++c)
        std::swap(refframe_[c], oldrefframe_[c]);
    if (mv_outside_frame_ && counter > 0) {
        makeEdgeImage(oldrefframe_[0], edgeframe_[0], width_, height_, 32);
        makeEdgeImage(oldrefframe_[1], edgeframe_[1], chromWidth_, chromHeight_, 16);
        makeEdgeImage(oldrefframe_[2], edgeframe_[2], chromWidth_, chromHeight_, 16);
    }
    getMBs();
    if (pb_frame_) {
        storeframe(bframe_);
        ++counter;
    }
    storeframe(refframe_);
}

void H263Decoder::storeframe(uint8_t *const planes[3])
{
    if (sink_)
        sink_(PictureView{planes[0], planes[1], planes[2], width_, height_});
}

} // namespace kv::video
