// Burning and image building: this library reads discs only, so each operation refuses
// with a clear text (the drive layer reports it like any other failure).
#include "Internal.h"

using namespace vantrell;

namespace {

uint8_t Refuse(ErrorBlock& eb, const void* object, const char* what) {
    if (!object)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No object");
    return eb.Fail(VANTRELL_EXCEPTION_NOT_SUPPORTED, 0, 0, -1,
                   "%s is not supported: this library does not write media", what);
}

} // namespace

extern "C" {

uint8_t Vantrell_CdvdBurnerGrabber_GetBUP(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                          uint8_t* enabled, uint8_t* supported) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetBUP");
    if (enabled)
        *enabled = 0;
    if (supported)
        *supported = 0;
    if (!object)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No device object");
    return eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_EnableBUP(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                             uint8_t /*enable*/) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_EnableBUP");
    return Refuse(eb, object, "Buffer underrun protection");
}

uint8_t Vantrell_CdvdBurnerGrabber_SendOPC(VantrellObject* object, VANTRELL_ERROR_BLOCK) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_SendOPC");
    return Refuse(eb, object, "Optimum power calibration");
}

uint8_t Vantrell_CdvdBurnerGrabber_CloseSession(VantrellObject* object, VANTRELL_ERROR_BLOCK) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_CloseSession");
    return Refuse(eb, object, "Closing a session");
}

#define VANTRELL_REFUSE_TREE(name, what)                                                           \
    uint8_t name(VantrellObject* object, VANTRELL_ERROR_BLOCK, VantrellObject* /*fileTree*/,       \
                 uint8_t /*testWrite*/, uint8_t /*multiSession*/) {                                \
        VANTRELL_EB(#name);                                                                        \
        return Refuse(eb, object, what);                                                           \
    }
VANTRELL_REFUSE_TREE(Vantrell_CdvdBurnerGrabber_TrackAtOnceFromTree, "Track-At-Once writing")
VANTRELL_REFUSE_TREE(Vantrell_CdvdBurnerGrabber_SessionAtOnceFromTree, "Session-At-Once writing")
VANTRELL_REFUSE_TREE(Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromTree, "Disc-At-Once PQ writing")
VANTRELL_REFUSE_TREE(Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromTree,
                     "Disc-At-Once raw P-W writing")
#undef VANTRELL_REFUSE_TREE

uint8_t Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromFile(VantrellObject* object,
                                                        VANTRELL_ERROR_BLOCK,
                                                        const char* /*imageFile*/,
                                                        uint8_t /*testWrite*/) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromFile");
    return Refuse(eb, object, "Disc-At-Once PQ writing");
}

uint8_t Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromFile(VantrellObject* object,
                                                           VANTRELL_ERROR_BLOCK,
                                                           const char* /*imageFile*/,
                                                           uint8_t /*testWrite*/) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromFile");
    return Refuse(eb, object, "Disc-At-Once raw P-W writing");
}

uint8_t Vantrell_CdvdBurnerGrabber_TrackAtOnceFromFile(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                       const char* /*trackFile*/,
                                                       uint8_t /*testWrite*/,
                                                       uint8_t /*multiSession*/) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_TrackAtOnceFromFile");
    return Refuse(eb, object, "Track-At-Once writing");
}

uint8_t Vantrell_CdvdBurnerGrabber_SessionAtOnceFromFile(
    VantrellObject* object, VANTRELL_ERROR_BLOCK, const char* const* /*trackFiles*/,
    uint32_t /*trackFileCount*/, uint8_t /*testWrite*/, uint8_t /*multiSession*/) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_SessionAtOnceFromFile");
    return Refuse(eb, object, "Session-At-Once writing");
}

uint8_t Vantrell_ISO9660JolietFileTree_Create(VantrellObject** fileTree, VANTRELL_ERROR_BLOCK,
                                              VantrellCallback /*callback*/, void* /*context*/) {
    VANTRELL_EB("Vantrell_ISO9660JolietFileTree_Create");
    if (fileTree)
        *fileTree = nullptr;
    return eb.Fail(VANTRELL_EXCEPTION_NOT_SUPPORTED, 0, 0, -1,
                   "Building ISO 9660/Joliet images is not supported by this library");
}

uint8_t Vantrell_ISO9660JolietFileTree_AddFile(VantrellObject* fileTree, VANTRELL_ERROR_BLOCK,
                                               const char* /*sourcePath*/,
                                               const char* /*nameInImage*/) {
    VANTRELL_EB("Vantrell_ISO9660JolietFileTree_AddFile");
    return Refuse(eb, fileTree, "Building ISO 9660/Joliet images");
}

uint8_t Vantrell_ISO9660JolietFileTree_SetBootImage(VantrellObject* fileTree, VANTRELL_ERROR_BLOCK,
                                                    const char* /*bootImageFile*/) {
    VANTRELL_EB("Vantrell_ISO9660JolietFileTree_SetBootImage");
    return Refuse(eb, fileTree, "Building ISO 9660/Joliet images");
}

uint8_t Vantrell_ISO9660JolietFileTree_BuildImage(VantrellObject* fileTree, VANTRELL_ERROR_BLOCK,
                                                  uint64_t* imageSizeBytes) {
    VANTRELL_EB("Vantrell_ISO9660JolietFileTree_BuildImage");
    if (imageSizeBytes)
        *imageSizeBytes = 0;
    return Refuse(eb, fileTree, "Building ISO 9660/Joliet images");
}

uint8_t Vantrell_ISO9660JolietFileTree_ReadImage(VantrellObject* fileTree, VANTRELL_ERROR_BLOCK,
                                                 void* /*buffer*/, uint32_t /*size*/,
                                                 uint32_t* bytesRead) {
    VANTRELL_EB("Vantrell_ISO9660JolietFileTree_ReadImage");
    if (bytesRead)
        *bytesRead = 0;
    return Refuse(eb, fileTree, "Building ISO 9660/Joliet images");
}

} // extern "C"
