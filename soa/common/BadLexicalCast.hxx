#pragma once

#include <soa/common/Export.hxx>

#include <exception>
#include <string>

namespace Quillomark::Soa::Common::Exceptions {

// A text that lexical_cast cannot turn into the asked type. The message
// names the type and quotes the text.
class QMSOA_API BadLexicalCast : public std::exception {
public:
    explicit BadLexicalCast(const std::string& message);
    BadLexicalCast(const BadLexicalCast& other) = default;
    BadLexicalCast& operator=(const BadLexicalCast& other) = default;
    ~BadLexicalCast() override;

    const std::string& getMessage() const { return message; }
    const char* what() const noexcept override;

private:
    std::string message;
};

}  // namespace Quillomark::Soa::Common::Exceptions
