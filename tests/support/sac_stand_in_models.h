// Stand-in counts for the arithmetic-coding models this build lacks (falling uniformly), so that tests can make
// and decode arithmetic-coded pictures.
#pragma once

#include <vector>

#include "video/sac_models.h"

inline const kv::video::SacModelSet &sacStandInModels() {
    static std::vector<std::vector<int>> counts;
    static const kv::video::SacModelSet set = [] {
        kv::video::SacModelSet s = kv::video::builtinSacModels();
        counts.reserve(18);  // the models keep views of these
        for (kv::video::SacModel *m : {&s.mcbpc, &s.mcbpcIntra, &s.cbpy, &s.cbpyIntra, &s.mvd, &s.intradc, &s.tcoef1,
                                       &s.tcoef2, &s.tcoef3, &s.tcoefr, &s.tcoef1Intra, &s.tcoef2Intra, &s.tcoef3Intra,
                                       &s.tcoefrIntra, &s.run, &s.runIntra, &s.level, &s.levelIntra}) {
            const int n = static_cast<int>(m->values.size());
            auto &c = counts.emplace_back();
            for (int i = 0; i <= n; ++i) c.push_back(16383 * (n - i) / n);
            m->cumf = c;
        }
        return s;
    }();
    return set;
}
