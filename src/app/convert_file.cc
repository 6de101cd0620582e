#include "app/convert_file.h"

#include <sys/types.h>

#include <memory>

#include "app/password_store.h"
#include "app/settings.h"
#include "bus/channel_recognition.h"
#include "bus/frame_sink.h"
#include "core/format.h"
#include "io/buffered_stream.h"
#include "io/container.h"
#include "io/encrypted_container.h"
#include "io/file_stream.h"
#include "io/folder.h"
#include "io/interrupt.h"
#include "log/log.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/data_list.h"
#include "mdf/file_blocks.h"
#include "mdf/mdf_file.h"

namespace quarrow {

namespace {

// Inputs from this size on are mapped.
constexpr int64_t kMapFrom = 1024 * 1024;

// The flags the pipeline opens inputs with: read, plus a bit the folder
// ignores.
constexpr uint32_t kInputOpenFlags = FS_OPEN_READ | 4;

// Replaces *stream by its unwrapped content for as long as it starts with a
// container header. Returns FAILURE_NONE, or why the conversion ends (the
// stream is then closed).
ConvertFailure unwrap_containers(ByteStream** stream, const ConverterSettings* settings) {
  ContainerHeader header;
  while (container_read_header(*stream, &header)) {
    ByteStream* inner = nullptr;
    if (header.type == CONTAINER_COMPRESSED) {
      QLOG(LOG_INFO, "Found compressed file");
      inner = compressed_container_open(*stream, header, settings->limits.max_unwrapped_bytes);
      if (!inner) {
        QLOG(LOG_ERROR, "Could not decompress file");
        stream_close(*stream);
        return FAILURE_DECOMPRESS;
      }
    } else if (header.type == CONTAINER_ENCRYPTED) {
      QLOG(LOG_INFO, "Found encrypted file");
      char device[16];
      format_snprintf(device, sizeof(device), "%08X", header.device_id);
      auto password = password_store_find(settings->passwords, device);
      if (!password) password = password_store_find(settings->passwords, "default");
      if (!password) {
        QLOG(LOG_ERROR, "No password found for device %08X", header.device_id);
        stream_close(*stream);
        return FAILURE_NO_PASSWORD;
      }
      inner =
          encrypted_container_open(*stream, header, *password, settings->limits.max_key_iterations);
      if (!inner) {
        QLOG(LOG_ERROR, "Could not decrypt file");
        stream_close(*stream);
        return FAILURE_DECRYPT;
      }
    } else {
      stream_close(*stream);
      return FAILURE_DAMAGED;
    }
    stream_close(*stream);
    *stream = inner;
  }
  return FAILURE_NONE;
}

// Bytes of measurement data that the data blocks claim beyond the end of the
// stream. A finalised log cut short has lost its last records; what is left
// is still converted, but the file must not count as converted.
uint64_t missing_data_bytes(HdBlock* hd) {
  uint64_t missing = 0;
  for (BlockRef& dg_ref : hd->hd_dg_list) {
    DgBlock* dg = block_as<DgBlock>(dg_ref.get());
    if (dg) missing += data_missing_bytes(dg->dg_data.get());
  }
  return missing;
}

// Offers every data group to the sink and feeds it the frames of those it
// wants. Returns the first failure: a frame the sink could not take, or
// records that could not be read.
ConvertFailure read_data_groups(FrameSink* sink, HdBlock* hd) {
  ConvertFailure failure = FAILURE_NONE;
  uint64_t group_index = 0;
  uint64_t dg_index = 0;
  for (BlockRef& dg_ref : hd->hd_dg_list) {
    ++dg_index;
    DgBlock* dg = block_as<DgBlock>(dg_ref.get());
    if (!dg || dg->dg_cg_list.empty()) continue;
    GroupList groups;
    for (BlockRef& cg_ref : dg->dg_cg_list) {
      CgBlock* cg = block_as<CgBlock>(cg_ref.get());
      GroupInfo info{cg ? text_block_text(cg->cg_tx_acq_name) : StringView(), group_index++,
                     cg ? group_kind(dg, cg) : FRAME_NONE, dg_index};
      groups.append(info);
    }
    if (sink->wants_group(groups)) {
      GroupReadResult read = sink->read_group(dg, groups);
      if (!read.frames_ok && !failure) failure = FAILURE_WRITE;
      // The records after the failure are lost, so the tables are not the
      // log's.
      if (read.read_failed) {
        QLOG(LOG_ERROR, "Could not read the records of data group %llu",
             static_cast<unsigned long long>(dg_index));
        if (!failure) failure = FAILURE_DAMAGED;
      }
    }
    sink->on_group_end(groups);
  }
  return failure;
}

int failure_status(ConvertFailure failure) {
  switch (failure) {
    case FAILURE_NONE:
      return CONVERT_OK;
    case FAILURE_NO_PASSWORD:
    case FAILURE_DECRYPT:
      return CONVERT_NO_PASSWORD;
    case FAILURE_DECOMPRESS:
      return CONVERT_DECOMPRESS;
    default:
      return CONVERT_FAILED;
  }
}

// After a conversion that gave no row: warns of a group that looks like bus
// logging but was not recognised. True when there is one.
bool warn_of_unread_groups(HdBlock* hd, StringView input_path, bool other_writers,
                           bool* other_writer_layout) {
  UnreadBusGroup unread;
  if (!unread_bus_group(hd, &unread)) return false;
  *other_writer_layout = unread.other_writers_read_it && !other_writers;
  QLOG(LOG_WARN, "No rows from %.*s: %s%s", static_cast<int>(input_path.size), input_path.data,
       unread.text.c_str(), *other_writer_layout ? "; --other-writers reads it" : "");
  return true;
}

ConvertFailure convert(FrameSink* sink, StringView input_path, StringView output_base,
                       bool* other_writer_layout) {
  if (!sink) return FAILURE_OTHER;
  const ConverterSettings* settings = sink->settings();
  ByteStream* stream = folder_open_relative(sink->input_folder(), input_path, kInputOpenFlags);
  if (!stream) {
    QLOG(LOG_ERROR, "Could not open input file %.*s", static_cast<int>(input_path.size),
         input_path.data);
    return FAILURE_OPEN;
  }

  // A large file is mapped rather than copied into fresh memory; a small
  // one, or where mapping fails, is read whole, which costs less than
  // setting a mapping up and taking it down.
  int64_t buffer = settings->buffer_size < 0 ? stream_size(stream) : settings->buffer_size;
  if (settings->buffer_size < 0 && buffer >= kMapFrom) {
    if (ByteStream* mapped = file_stream_map(stream)) {
      stream = mapped;
      buffer = 0;
    }
  }
  if (buffer > 0) {
    ByteStream* buffered = buffered_stream_create(stream, true, buffer);
    if (!buffered) {
      QLOG(LOG_ERROR, "Could not allocate buffer of size %zd", static_cast<ssize_t>(buffer));
      stream_close(stream);
      return FAILURE_OPEN;
    }
    stream = buffered;
  }

  ConvertFailure failure = unwrap_containers(&stream, settings);
  if (failure) return failure;

  const char* foreign = nullptr;
  MdfFile* mdf = mdf_open(stream, settings->other_writers, &foreign);
  if (!mdf) {
    QLOG(LOG_ERROR, "Could not open MDF");
    if (foreign) QLOG(LOG_ERROR, "Block %s is read only with --other-writers", foreign);
    stream_close(stream);
    return FAILURE_DAMAGED;
  }

  bool stream_open = true;
  failure = FAILURE_DAMAGED;
  if (!mdf_id_block(mdf)) {
    QLOG(LOG_ERROR, "Could not read ID block");
  } else if (HdBlock* hd = mdf_hd_block(mdf); !hd) {
    QLOG(LOG_ERROR, "Could not read HD block");
  } else {
    failure = FAILURE_NONE;
    uint64_t rows = sink->rows_written();
    if (!sink->on_file_begin(output_base, mdf)) {
      QLOG(LOG_ERROR, "Error during new file callback");
      failure = FAILURE_WRITE;
    } else {
      failure = read_data_groups(sink, hd);
      if (uint64_t missing = missing_data_bytes(hd); missing > 0) {
        QLOG(LOG_ERROR, "Log is truncated: %llu bytes of measurement data are missing",
             static_cast<unsigned long long>(missing));
        if (!failure) failure = FAILURE_TRUNCATED;
      }
    }
    if (!sink->on_file_end(output_base)) {
      if (!interrupted()) QLOG(LOG_ERROR, "Error during end file callback");
      if (!failure) failure = FAILURE_WRITE;
    }
    // Such a log is kept under -d: its bus traffic is in no table.
    bool unread =
        !failure && sink->rows_written() == rows &&
        warn_of_unread_groups(hd, input_path, settings->other_writers, other_writer_layout);
    stream_open = false;
    if (stream_close(stream) != 0) {
      QLOG(LOG_ERROR, "Could not close input file after conversion: %.*s",
           static_cast<int>(input_path.size), input_path.data);
      // A mapped input that went bad while it was read has fed zeros to the
      // tables: they must not pass for the log's.
      sink->discard_file(output_base);
      if (!failure) failure = FAILURE_OTHER;
    } else if (!failure && !unread && settings->delete_converted && !interrupted() &&
               !folder_remove_relative(sink->input_folder(), input_path)) {
      QLOG(LOG_ERROR, "Could not remove input file after conversion: %.*s",
           static_cast<int>(input_path.size), input_path.data);
    }
  }

  mdf_close(mdf);
  if (stream_open) stream_close(stream);
  return failure;
}

}  // namespace

int convert_file(FrameSink* sink, StringView input_path, StringView output_base,
                 ConvertReport* report) {
  bool other_writer_layout = false;
  ConvertFailure why = convert(sink, input_path, output_base, &other_writer_layout);
  if (report) *report = ConvertReport{why, other_writer_layout};
  return failure_status(why);
}

}  // namespace quarrow
