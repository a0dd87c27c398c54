// The relay: a file of one session streamed into an upload of another, each step sent to both
// servers before either answer is awaited.
#include "common/PathText.h"
#include "ftpclient/FtpImpl.h"

#include <algorithm>

namespace sf {

Ftp::Response Ftp::Impl::OpenRelay(
    Impl& dst, DataLink& in, DataLink& out, const std::string& sourcePath, const std::string& temporary)
{
    // The two servers answer at the same time instead of one after the other: per file that
    // saves two round trips, as much as the file's data takes on a fast link.
    const bool epsvAhead = dst.SendEpsvAhead();
    Response read = PrepareData(in);
    Response stored = dst.PrepareData(out, epsvAhead);
    if (!read.IsOk())
        return read;
    if (!stored.IsOk())
        return stored;
    const bool storAhead = dst.Send("STOR", temporary);
    read = StartTransfer(in, "RETR", sourcePath);
    // Once the STOR is on its way, its answer is read and a copy it began is removed even when
    // a Stop comes meanwhile; a Stop that came holds again from the end of this step.
    dst.loop.BeginCleanup();
    stored = dst.StartTransfer(out, "STOR", temporary, storAhead);
    const bool uploading = stored.IsOk() && !out.finishedEarly;
    if (!read.IsOk() || !uploading) {
        if (read.IsOk() && !in.finishedEarly)
            AbortTransfer(in);
        if (uploading)
            dst.AbortTransfer(out);
        if (stored.IsOk() && dst.Connected())
            (void)dst.Command("DELE", temporary);
    }
    dst.loop.EndCleanup();
    if (read.IsOk() && uploading)
        return read;
    if (!read.IsOk())
        return read;
    return stored.IsOk() ? Response(Response::InvalidResponse, "The server did not take the upload.")
                         : stored;
}

Ftp::Response Ftp::Impl::MoveIntoPlace(
    const std::string& temporary, const std::string& target, const std::string& aside)
{
    Response moved = RenameRaw(temporary, target);
    if (!moved.IsOk() && Connected()) {
        // Servers on Windows refuse to rename over an existing file. Move the old copy aside
        // first, so that it is back in place if the new one cannot be moved in.
        if (RenameRaw(target, aside).IsOk()) {
            moved = RenameRaw(temporary, target);
            if (moved.IsOk())
                (void)Command("DELE", aside);
            else
                (void)RenameRaw(aside, target);
        }
    }
    return moved;
}

std::optional<Ftp::Response> Ftp::Impl::PumpToUpload(
    Impl& dst, DataLink& in, DataLink& out, std::int64_t size, TranslateInfo& progress, std::uint64_t& copied)
{
    const vorn::ftp::IoLoop::Poll* poll = hook ? &hook : nullptr;
    if (!in.finishedEarly && !in.channel->IsTls() && !out.channel->IsTls() && kernelRelay.Ready())
        return PumpInKernel(dst, in, out, size, progress, copied);
    const DataSink toUpload = [&](std::string_view bytes) -> std::optional<Response> {
        if (Error error = out.channel->Write(bytes, dst.inactivityTimeout, poll))
            return FromError(error);
        return std::nullopt;
    };
    return PumpData(in, toUpload, size, progress, copied);
}

std::optional<Ftp::Response> Ftp::Impl::PumpInKernel(
    Impl& dst, DataLink& in, DataLink& out, std::int64_t size, TranslateInfo& progress, std::uint64_t& copied)
{
    const vorn::ftp::IoLoop::Poll* poll = hook ? &hook : nullptr;
    for (;;) {
        if (hook && !hook())
            return Response(Response::Cancelled, "The transfer was stopped.");
        std::size_t moved = 0;
        if (Error error = kernelRelay.MoveSome(
                *in.channel, *out.channel, inactivityTimeout, dst.inactivityTimeout, poll, moved))
            return FromError(error);
        if (moved == 0)
            return std::nullopt;
        copied += moved;
        progress.bytes = copied;
        progress.wireBytes += moved;
        if (size > 0)
            progress.percent = static_cast<float>(std::min<double>(100.0, 100.0 * copied / size));
    }
}

Ftp::Response Ftp::Impl::DropUpload(
    Response why, Impl& src, DataLink& in, bool sourceRunning, DataLink& out, const std::string& temporary)
{
    if (sourceRunning)
        src.AbortTransfer(in);
    // A stopped upload is removed all the same: the control connection, still open, is used
    // once more past a Stop's cancel (which holds again after).
    loop.BeginCleanup();
    if (out.channel)
        AbortTransfer(out);
    if (Connected())
        (void)Command("DELE", temporary);
    else
        strandedUploads.push_back(temporary);
    loop.EndCleanup();
    return why;
}

void Ftp::Impl::RemoveStrandedUploads()
{
    while (!strandedUploads.empty() && Connected()) {
        (void)Command("DELE", strandedUploads.back());
        if (Connected())
            strandedUploads.pop_back();
    }
}

Ftp::Response Ftp::Relay(Ftp& destination, const std::string& sourcePath,
    const std::string& destinationFolder, TranslateInfo& progress, TransferMode mode, std::int64_t listedSize)
{
    if (&destination == this)
        return Response(Response::InvalidArgument, "A session cannot copy a file to itself.");
    // Both locks at once, so two relays in opposite directions cannot deadlock.
    std::scoped_lock lock(impl_->mutex, destination.impl_->mutex);
    Impl& src = *impl_;
    Impl& dst = *destination.impl_;
    progress.Reset();
    const std::string name(vorn::LastPathComponent(sourcePath));
    if (!vorn::ftp::IsSafeEntryName(name))
        return Response(
            Response::InvalidFile, "\"" + name + "\" is not a plain file name; it was not copied.");
    if (!src.Connected() || !dst.Connected())
        return src.NotConnected();

    dst.RemoveStrandedUploads();
    Response response = dst.SetType(mode);
    if (!response.IsOk())
        return response;
    std::int64_t size = -1;
    bool served = false;
    if (std::optional<Response> stop = src.BeginRead(sourcePath, mode, listedSize, progress, size, served))
        return *stop;

    const std::string target = vorn::JoinPath(destinationFolder, name);
    const std::string temporary = vorn::JoinPath(destinationFolder, vorn::remote::MakeTemporaryName(name));

    Impl::DataLink in;
    Impl::DataLink out;
    response = src.OpenRelay(dst, in, out, sourcePath, temporary);
    if (!response.IsOk())
        return response;

    // From here on a partial upload may exist; every failure removes it.
    auto fail = [&](Response why, bool sourceRunning) {
        return dst.DropUpload(std::move(why), src, in, sourceRunning, out, temporary);
    };
    std::uint64_t copied = 0;
    if (std::optional<Response> stop = src.PumpToUpload(dst, in, out, size, progress, copied))
        return fail(*stop, true);
    // The end of the upload is the end of the stream (over TLS a close_notify marks it). It
    // ends before the source's final reply is read, so that both servers answer at once: the
    // copy is still under its temporary name, removed below when anything was wrong.
    src.CloseData(in);
    dst.CloseData(out);
    const Response read = in.finishedEarly ? Response(226, "") : src.FinishTransfer();
    // The destination's answer is read even when a Stop comes meanwhile, so that the control
    // connection stays to remove the copy.
    dst.loop.BeginCleanup();
    response = dst.FinishTransfer();
    dst.loop.EndCleanup();
    if (!read.IsOk())
        return fail(read, false);
    if (mode == Binary)
        if (std::optional<Response> wrong = src.WrongLength(sourcePath, copied, size, served))
            return fail(*wrong, false);
    if (!response.IsOk())
        return fail(response, false);
    if (std::optional<Response> differs = src.CheckRelay(dst, sourcePath, temporary, response))
        return fail(*differs, false);

    const Response moved = dst.MoveIntoPlace(temporary, target,
        vorn::JoinPath(destinationFolder, vorn::remote::MakeTemporaryName(name, "vornold")));
    if (!moved.IsOk())
        return fail(
            Response(moved.GetStatus(), "Could not move the copy into place: " + moved.GetMessage()), false);
    progress.percent = 100.0f;
    if (size < 0)
        response.MarkSizeUnchecked();
    return response;
}

} // namespace sf
