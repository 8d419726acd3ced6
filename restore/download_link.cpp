#include "restore/download.h"

// Apart from the download itself, so that binding the link pulls in no
// HTTP code.
namespace Vantri {

namespace {

DownloadWindow NoWindow()
{
    return nullptr;
}

bool PostNothing(DownloadWindow, std::uint32_t, std::uintptr_t, std::intptr_t)
{
    return false;
}

bool QueueNothing(DownloadWorkProc, std::uintptr_t)
{
    return false;
}

constexpr DownloadLink kNoLink{NoWindow, PostNothing, QueueNothing};
const DownloadLink* s_link = &kNoLink;

} // namespace

void BindDownloadLink(const DownloadLink& link)
{
    s_link = &link;
}

const DownloadLink& BoundDownloadLink()
{
    return *s_link;
}

} // namespace Vantri
