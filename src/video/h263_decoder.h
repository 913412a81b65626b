// The H.263 (1996) decoder of AV files: one object owns every piece of
// decoder state. It decodes one coded picture (or PB-frame pair) per call and
// hands each finished picture to a sink.
#pragma once

#include "video/h263_bits.h"
#include "video/sac_decoder.h"
#include "video/sac_models.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kv::video {

struct PictureView {
    const uint8_t *y, *cb, *cr;
    int width, height;         // luma plane size (chroma is half each way)
};

class H263Decoder {
public:
    // mbCols x mbRows macroblocks. The program's pictures are 10 x 7
    // macroblocks in 160 x 120 planes whose last 8 lines are never coded.
    explicit H263Decoder(int mbCols = 10, int mbRows = 7);

    enum class Result {
        NoPicture,        // no picture start code before the end of the data
        Decoded,          // one picture (two for a PB-frame) went to the sink
        ArithUnsupported, // arithmetic-coded, and the model set is incomplete
        Refused,          // a header this decoder cannot follow
    };

    // Decodes one record's picture data. counter is the caller's picture
    // counter: 0 marks the first picture of a sequence; a PB-frame adds 1.
    Result decodePicture(const uint8_t *data, size_t size, int &counter);

    void setSink(std::function<void(const PictureView &)> sink) { sink_ = std::move(sink); }
    void setSacModels(const SacModelSet &models) { models_ = &models; }

    PictureView current() const;  // the last P- or I-picture decoded
    int width() const { return width_; }
    int height() const { return height_; }
    bool damaged() const { return damaged_; } // a fault was met in the last picture

    // The options of the last picture header read.
    struct HeaderInfo {
        bool inter, unrestricted, arithmetic, advanced, pbFrame;
        int quant, temporalReference;
    };
    HeaderInfo header() const
    {
        return {pict_type_ != 0, long_vectors_ != 0, syntax_arith_coding_ != 0, adv_pred_mode_ != 0, pb_frame_ != 0,
                quant_, temp_ref_};
    }

private:
    // A parsed macroblock waits for its reconstruction until the macroblock
    // to its right has been parsed: overlapped prediction needs its vectors.
    struct Pending {
        bool valid = false;
        int bx = 0, by = 0, mode = 0, cbp = 0, cbpb = 0, cod = 0, bdx = 0, bdy = 0;
    };

    bool getheader(int &gn);
    bool getpicturehdr();
    void getpicture(int &counter);
    void getMBs();
    void storeframe(uint8_t *const planes[3]);

    // Macroblock layer.
    int sacValue(const SacModel &m);
    int readCOD();
    int readMCBPC();
    int readMODB();
    int readCBPB();
    int readCBPY(int mode);
    int readDQUANT();
    int readMVD();
    int find_pmv(int x, int y, int block, int comp) const;
    int motion_decode(int vec, int pmv) const;
    bool vectorFits(int px, int py, int size, int mvx, int mvy, bool chroma) const;
    bool checkVectors(int xpos, int ypos, int mode, int bdx, int bdy);
    void reconstructMB(const Pending &p);

    // Block layer.
    int getMCBPC();
    int getMCBPCintra();
    int getCBPY();
    int getTMNMV();
    void getblock(int comp, int mode);
    void get_sac_block(int comp, int mode);
    void storeCoefficient(int comp, int &i, int run, int level, bool negative);
    int readIntraDC();

    // Reconstruction.
    void reconstruct(int bx, int by, int P, int bdx, int bdy);
    void recon_comp(const uint8_t *src, uint8_t *dst, int lx, int lx2, int w, int h, int x, int y, int dx, int dy);
    void recon_comp_obmc(const uint8_t *src, uint8_t *dst, int lx2, int comp, int x, int y);
    void addblock(int comp, int bx, int by, bool add);
    void reconblock_b(int comp, int bx, int by, int mode, int bdx, int bdy);

    int &mv(int c, int k, int row, int col) { return mv_[((c * 5 + k) * (mbRows_ + 1) + row) * (mbCols_ + 2) + col]; }
    int mv(int c, int k, int row, int col) const { return mv_[((c * 5 + k) * (mbRows_ + 1) + row) * (mbCols_ + 2) + col]; }
    int &modemap(int row, int col) { return modemap_[row * (mbCols_ + 2) + col]; }
    int modemap(int row, int col) const { return modemap_[row * (mbCols_ + 2) + col]; }

    // Geometry.
    int mbCols_, mbRows_;
    int width_, height_, chromWidth_, chromHeight_;

    // Frame stores: two rotating reference pictures and the B-picture.
    std::vector<uint8_t> stores_[3][3];
    uint8_t *refframe_[3], *oldrefframe_[3], *bframe_[3];
    std::vector<uint8_t> edgeStore_[3];
    uint8_t *edgeframe_[3];

    std::vector<int> mv_, modemap_;
    int16_t coef_[12][64];

    // Input: the record copied with its terminator and zeroed slack.
    std::vector<uint8_t> input_;
    H263BitReader bits_;
    SacDecoder<H263BitReader> sac_;
    const SacModelSet *models_;

    // Picture-layer state, kept from one picture header to the next.
    int temp_ref_ = 0, prev_temp_ref_ = 0, trd_ = 0;
    int source_format_ = 0, pict_type_ = 0, mv_outside_frame_ = 0, long_vectors_ = 0;
    int syntax_arith_coding_ = 0, adv_pred_mode_ = 0, pb_frame_ = 0, cpm_ = 0;
    int quant_ = 0, trb_ = 0, bquant_ = 0;

    bool fault_ = false, newgob_ = false, damaged_ = false;
    std::function<void(const PictureView &)> sink_;
};

} // namespace kv::video
