// telvar.kestrum.numkern: the bar kernels. All per-bar arithmetic of the
// history and registration modules runs here, on raw numpy buffers.
#include "kernels.hpp"

NB_MODULE(numkern, m) {
    m.doc() = "Bar kernels: positions, combining, forming bars and bookkeeping over K matrices.";
    telvar::numkern::register_positions(m);
    telvar::numkern::register_combine(m);
    telvar::numkern::register_bookkeeping(m);
}
