#include "ftpclient/IPAddress.h"

#include <boost/asio/ip/address.hpp>

namespace sf {

IPAddress::IPAddress(std::string host)
    : host_(std::move(host))
{
}

IPAddress::IPAddress(const char* host)
    : host_(host ? host : "")
{
}

bool IPAddress::IsValid() const
{
    if (host_.empty() || host_.size() > 253 + 2)
        return false;
    for (const char c : host_) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f || c == '/')
            return false;
    }
    return true;
}

bool IPAddress::IsNumeric() const
{
    boost::system::error_code error;
    boost::asio::ip::make_address(host_, error);
    return !error;
}

} // namespace sf
