// The frame delivery path: samples from the engine's capture renderers to
// the controller. Only the play-complete notice has a sender so far; samples
// come only from an engine, and none exists yet.
#include <cstring>

#include "app/MarlinDlg.h"
#include "pipe/MessageFormat.h"

void CMarlinDlg::OnDateReceive(bool /*isVideo*/, const MediaFormat* /*format*/, const uint8_t* /*data*/,
                               int32_t /*length*/)
{
}

void CMarlinDlg::OnPlayComplete()
{
    const MessageHeader message{static_cast<uint32_t>(MessageType::PlayComplete), 0, 0};
    SendToClient(&message, sizeof message);
}

void CMarlinDlg::OnVideoFrame(const MediaFormat* /*format*/, const uint8_t* /*data*/, long /*length*/) {}

void CMarlinDlg::OnAudioFrame(const MediaFormat* /*format*/, const uint8_t* /*data*/, long /*length*/) {}
