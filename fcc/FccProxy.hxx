#pragma once

#include <soa/common/Export.hxx>

#include <map>
#include <string>
#include <vector>

namespace Quillomark::Soa::Client {

// Moves files by the tickets that services return, through the file-cache
// interface. Every failure of the interface is thrown as FccException.
//
// A proxy made while the file cache reports itself enabled holds one
// reference on the interface, which its destructor gives back; a copy of
// such a proxy takes a reference of its own.
class QMSOA_API FccProxy {
public:
    FccProxy();
    FccProxy(const FccProxy& other);
    FccProxy& operator=(const FccProxy& other);
    ~FccProxy();

    // Downloads each ticket's file into the local file cache. files gets one
    // entry per ticket in input order: the cached file's path, or the empty
    // string for a ticket whose file failed, which failures then maps to its
    // status.
    void downloadFiles(const std::vector<std::string>& tickets, std::vector<std::string>& files,
                       std::map<std::string, int>& failures) const;

    // Downloads each ticket (key) into directory under the file name given
    // as its value. A name must name one file of directory: an empty one,
    // "." or "..", and one holding "/", a NUL or a ".." between "\"
    // separators are refused with FccException -3002 (ERR_FMSCP_BAD_ARG)
    // before any ticket is registered, as is a directory holding a NUL.
    void downloadFilesToLocation(const std::map<std::string, std::string>& ticketsToFileNames,
                                 const std::string& directory,
                                 std::map<std::string, int>& failures) const;

    // Uploads each local file (value, a full path) against its upload ticket
    // (key), going on with the others when one fails. An empty path, or one
    // holding a NUL, is refused as a bad file name is.
    void uploadFiles(const std::map<std::string, std::string>& ticketsToFilePaths,
                     std::map<std::string, int>& failures) const;

private:
    static void checkResult(int status);
    static std::string getErrorText();
    // Takes a reference on the interface and records that it must be given
    // back.
    void initialize();

    bool initialized;
};

}  // namespace Quillomark::Soa::Client
