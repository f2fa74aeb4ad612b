// The extension's three bytes are two 12-bit limits in units of 10 ms; both zero ask the browser
// to render every frame as soon as it is decoded, instead of smoothing through a jitter buffer.
#include "PlayoutDelay.h"

#include <gst/rtp/rtp.h>

#include <cstring>

namespace {

constexpr gsize kSize = 3;

struct KvPlayoutDelay {
    GstRTPHeaderExtension parent;
};
struct KvPlayoutDelayClass {
    GstRTPHeaderExtensionClass parent;
};

GstRTPHeaderExtensionFlags supportedFlags(GstRTPHeaderExtension*) {
    return GstRTPHeaderExtensionFlags(GST_RTP_HEADER_EXTENSION_ONE_BYTE |
                                      GST_RTP_HEADER_EXTENSION_TWO_BYTE);
}

gsize maxSize(GstRTPHeaderExtension*, const GstBuffer*) {
    return kSize;
}

gssize write(GstRTPHeaderExtension*, const GstBuffer*, GstRTPHeaderExtensionFlags, GstBuffer*,
             guint8* data, gsize size) {
    if (size < kSize) {
        return -1;
    }
    std::memset(data, 0, kSize);
    return kSize;
}

// A sender's extension: what comes back is not acted on.
gboolean read(GstRTPHeaderExtension*, GstRTPHeaderExtensionFlags, const guint8*, gsize,
              GstBuffer*) {
    return TRUE;
}

void classInit(gpointer klass, gpointer) {
    auto* ext = static_cast<GstRTPHeaderExtensionClass*>(klass);
    ext->get_supported_flags = supportedFlags;
    ext->get_max_size = maxSize;
    ext->write = write;
    ext->read = read;
    gst_element_class_set_static_metadata(
        GST_ELEMENT_CLASS(klass), "Playout delay", GST_RTP_HDREXT_ELEMENT_CLASS,
        "Asks the receiver to show frames without delay", "Kelvano");
    gst_rtp_header_extension_class_set_uri(ext, kPlayoutDelayUri);
}

}  // namespace

bool registerPlayoutDelayExtension() {
    static const bool registered = [] {
        const GTypeInfo info = {
            sizeof(KvPlayoutDelayClass), nullptr, nullptr, classInit, nullptr, nullptr,
            sizeof(KvPlayoutDelay),      0,       nullptr, nullptr};
        const GType type = g_type_register_static(GST_TYPE_RTP_HEADER_EXTENSION, "KvPlayoutDelay",
                                                  &info, GTypeFlags(0));
        return bool(gst_element_register(nullptr, "kvplayoutdelay", GST_RANK_MARGINAL, type));
    }();
    return registered;
}
