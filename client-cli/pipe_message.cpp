#include "pipe_message.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <google/protobuf/wire_format_lite.h>

#include <climits>
#include <memory>

using google::protobuf::io::ArrayOutputStream;
using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;
using google::protobuf::internal::WireFormatLite;

bool encodePipeMessage(const google::protobuf::MessageLite& message, std::vector<uint8_t>& out) {
    out.clear();
    size_t size = message.ByteSizeLong();  // also caches the size for the serializer
    if (size > INT_MAX) return false;
    uint32_t n = static_cast<uint32_t>(size);
    size_t total = CodedOutputStream::VarintSize32(n) + size;
    if (total > INT_MAX) return false;
    out.resize(total);
    {
        ArrayOutputStream array(out.data(), static_cast<int>(total));
        CodedOutputStream coded(&array);
        coded.WriteVarint32(n);
        message.SerializeWithCachedSizes(&coded);
        if (!coded.HadError() && coded.ByteCount() == static_cast<int64_t>(total)) return true;
    }
    out.clear();
    return false;
}

bool decodePipeMessage(const uint8_t* data, size_t size, google::protobuf::MessageLite& message) {
    message.Clear();
    CodedInputStream fields(data, static_cast<int>(size < INT_MAX ? size : INT_MAX));
    uint32_t prefix = 0;
    // The length of the rest, not used: the pipe message ends where the message
    // does. Without a whole prefix nothing after it can be located.
    if (!fields.ReadVarint32(&prefix)) return size == 0;

    // Field by field, so that a fault leaves the fields before it and nothing of
    // the faulty one: parsed whole, the runtime keeps a field it could not finish,
    // such as a string cut short and padded with bytes that never came. Each field
    // is checked on its own first; parsing it into the message then keeps the
    // wire's last-one-wins order exactly as a whole parse would.
    std::unique_ptr<google::protobuf::MessageLite> check(message.New());
    for (;;) {
        int start = fields.CurrentPosition();
        uint32_t tag = fields.ReadTag();
        if (tag == 0) return fields.ConsumedEntireMessage();  // the end, or an invalid tag 0
        if (!WireFormatLite::SkipField(&fields, tag)) return false;  // truncated or malformed
        int length = fields.CurrentPosition() - start;
        if (!check->ParseFromArray(data + start, length)) return false;  // say, invalid UTF-8
        CodedInputStream field(data + start, length);
        message.MergeFromCodedStream(&field);
    }
}
