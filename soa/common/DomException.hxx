#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Common::Exceptions {

// An XML document or node that cannot be read: the text is not well-formed,
// tries something the reader refuses (an external DTD or entity, too many
// entity expansions), or holds a value of the wrong form.
class QMSOA_API DomException {
public:
    DomException();
    explicit DomException(const std::string& message);
    DomException(const DomException& other) = default;
    DomException& operator=(const DomException& other) = default;

    virtual void setMessage(const std::string& message);
    virtual const std::string& getMessage() const;

private:
    std::string message;
};

}  // namespace Quillomark::Soa::Common::Exceptions
