#include "pipe_message.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <climits>

using google::protobuf::io::ArrayOutputStream;
using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;

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
    CodedInputStream coded(data, static_cast<int>(size < INT_MAX ? size : INT_MAX));
    uint32_t prefix = 0;
    coded.ReadVarint32(&prefix);  // the length of the rest; the pipe message ends where the message does
    return message.ParseFromCodedStream(&coded);
}
