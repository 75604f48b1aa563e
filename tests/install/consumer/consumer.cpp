// A program that embeds Marlin the way a product does: built out of tree
// against an installed controller library, it plays a file and checks what
// arrives.
//
//   consumer FILE
#include <marlin/Controller.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer FILE\n");
        return 2;
    }
    marlin::Error error;
    auto host = marlin::Host::Start({}, &error);
    if (!host) {
        std::fprintf(stderr, "start: %s\n", error.message.c_str());
        return 1;
    }
    auto info = host->TestFile(argv[1], &error);
    if (!info) {
        std::fprintf(stderr, "TestFile: %s\n", error.message.c_str());
        return 1;
    }
    const marlin::OutputFormat format{.width = 96, .height = 64, .layout = marlin::Layout::Nv12,
                                      .sampleRate = 22050, .channels = 1};
    if (!host->Play(argv[1], format, &error)) {
        std::fprintf(stderr, "Play: %s\n", error.message.c_str());
        return 1;
    }
    int pictures = 0, badPictures = 0;
    size_t soundBytes = 0;
    for (;;) {
        auto frame = host->NextFrame(10000, &error);
        if (!frame) {
            std::fprintf(stderr, "NextFrame: %s\n", error.message.c_str());
            return 1;
        }
        if (frame->kind == marlin::FrameKind::EndOfMedia) break;
        if (frame->kind == marlin::FrameKind::Video) {
            ++pictures;
            if (frame->data.size() != marlin::PictureBytes(marlin::Layout::Nv12, 96, 64)) ++badPictures;
        } else {
            soundBytes += frame->data.size();
        }
    }
    marlin::HostEnd end = host->Quit();
    std::printf("file: %dx%d, %lld ms\n", info->width, info->height, static_cast<long long>(info->durationMs));
    std::printf("played: %d pictures (%d of a wrong size), %.2f s of sound\n", pictures, badPictures,
                static_cast<double>(soundBytes) / (2 * 22050));
    std::printf("host: %s\n", end.description.c_str());
    return badPictures == 0 && pictures > 0 && end.reason == marlin::EndReason::Quit ? 0 : 1;
}
