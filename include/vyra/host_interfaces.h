#pragma once
// The host's side of the recording: the interfaces through which the plug-in places
// pressure-cycle comments in the host's current recording.
//
// The host implements them and hands the plug-in its controlling proxy through the
// SetControllingProxy export (as an IHostControllingProxy*). Every interface follows COM's
// rules: methods use the VYRA_COM convention (__stdcall on Windows), an interface handed out
// through an out parameter carries one reference that the plug-in releases, QueryInterface
// answers the identifiers below (and kIID_IUnknown) and sets *out to null with
// E_NOINTERFACE (0x80004002) otherwise. A method reports success with 0 and failure with a negative
// value; the plug-in treats a failed call or a null out pointer as "not available" and never
// fails a device line because of it.
//
// Call order the plug-in uses:
//   start of sampling:  proxy->GetHostObject -> QueryInterface(kIID_IHostApplication)
//                       -> GetActiveDocument -> QueryInterface(kIID_IHostDocument), kept until
//                       the next start of sampling or the device's end.
//   each comment:       document->GetRecordingData(0) -> QueryInterface(kIID_IRecordingComments),
//                       GetChannelCount, GetChannelTitle per channel, GetRecordCount,
//                       GetSampleInterval, AddComment.
// Comments are placed from the device's reader thread, not the thread that set the proxy.
// The plug-in holds no lock of its own while it calls any of these methods except AddRef on
// the document, which must not call back into the plug-in.
#include <cstdint>

#include "vyra/com.h"

namespace vyra {

// Identifiers of the host interfaces.
inline constexpr Guid kIID_IHostControllingProxy = {
    0x5e7c1a30, 0x8d2b, 0x4f61, {0x9a, 0x04, 0x3c, 0x71, 0xb2, 0x5d, 0x10, 0x01}};
inline constexpr Guid kIID_IHostApplication = {
    0x5e7c1a31, 0x8d2b, 0x4f61, {0x9a, 0x04, 0x3c, 0x71, 0xb2, 0x5d, 0x10, 0x02}};
inline constexpr Guid kIID_IHostDocument = {
    0x5e7c1a32, 0x8d2b, 0x4f61, {0x9a, 0x04, 0x3c, 0x71, 0xb2, 0x5d, 0x10, 0x03}};
inline constexpr Guid kIID_IRecordingData = {
    0x5e7c1a33, 0x8d2b, 0x4f61, {0x9a, 0x04, 0x3c, 0x71, 0xb2, 0x5d, 0x10, 0x04}};
inline constexpr Guid kIID_IRecordingComments = {
    0x5e7c1a34, 0x8d2b, 0x4f61, {0x9a, 0x04, 0x3c, 0x71, 0xb2, 0x5d, 0x10, 0x05}};

// Flags the plug-in passes to GetChannelTitle: the channel's full display title.
inline constexpr uint32_t kChannelTitleFlags = 0xC0000000u;

// The object the host hands over with SetControllingProxy. The plug-in does not AddRef it;
// the host keeps it alive while the device exists.
struct IHostControllingProxy : IUnknownBase {
  // *out: an object that answers QueryInterface(kIID_IHostApplication).
  virtual ComResult VYRA_COM GetHostObject(IUnknownBase** out) = 0;
};

struct IHostApplication : IUnknownBase {
  // *out: an object that answers QueryInterface(kIID_IHostDocument); null when no document.
  virtual ComResult VYRA_COM GetActiveDocument(IUnknownBase** out) = 0;
};

struct IRecordingData;

struct IHostDocument : IUnknownBase {
  // reserved: 0. *out: the data interface of the document's current recording.
  virtual ComResult VYRA_COM GetRecordingData(int32_t reserved, IRecordingData** out) = 0;
};

// The current recording. The comment interface is had from it by
// QueryInterface(kIID_IRecordingComments).
struct IRecordingData : IUnknownBase {
  // reserved: 0. *out: number of channels; channels are numbered from 0.
  virtual ComResult VYRA_COM GetChannelCount(int32_t reserved, int32_t* out) = 0;
  // flags: kChannelTitleFlags; reserved: 0. *out: the channel's title as a NUL-terminated
  // UTF-16 text that the host owns; it must stay valid until the next call on this
  // interface or its release (the plug-in copies it at once). Null or a failure: no title.
  virtual ComResult VYRA_COM GetChannelTitle(uint32_t flags, int32_t channel, int32_t reserved,
                                             const char16_t** out) = 0;
  // reserved: 0. *out: number of records; the last one is the one being recorded.
  virtual ComResult VYRA_COM GetRecordCount(int32_t reserved, int32_t* out) = 0;
  // reserved: 0, 0. *out: the sample interval in seconds (the plug-in pre-sets 1.0 and keeps
  // it when the call fails without writing).
  virtual ComResult VYRA_COM GetSampleInterval(int32_t reserved1, int32_t reserved2, double* out) = 0;
};

struct IRecordingComments : IUnknownBase {
  // channel: from 0, or -1 when the plug-in found no channel with the waveform channel's title.
  // position: two int32 values, the sample position within the record, then the record index.
  // text: the comment, NUL-terminated UTF-16, valid for the duration of the call only (copy it
  // to keep it). It is the text of a reference-counted string block: on 32-bit builds the
  // block's IBVLString object lies 24 bytes before it, for hosts that adopt such strings.
  // reserved: 0.
  virtual ComResult VYRA_COM AddComment(int32_t channel, const int32_t* position, const char16_t* text,
                                        int32_t reserved) = 0;
};

}  // namespace vyra
