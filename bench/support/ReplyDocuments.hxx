#pragma once

#include <string>
#include <vector>

namespace Quillomark::Bench {

// Generated input of the benchmarks: replies as the server sends them, in
// the XML form of the wire types, the same bytes on every run.
//
// A reply holds `objects` item revisions, each with the same 30 properties of
// mixed kinds: strings (some with non-ASCII letters and characters that need
// escaping), integers, dates, booleans, references to other objects of the
// reply, and reference lists of zero to two values. Every object is also
// listed as a plain object of the service data.
constexpr int PROPERTIES_PER_OBJECT = 30;
constexpr const char* REPLY_TYPE = "ItemRevision";

std::string replyDocument(int objects);
// The UID of the object at `index` of a reply.
std::string objectUid(int index);
// The type descriptions of the reply's type and its ancestors, as a
// <modelSchema> document; each property has the kind the reply's texts have.
std::string schemaDocument();
// A <modelSchema> document of `count` types without properties under
// ItemRevision, listed root first: one chain, whose foot is Level0, or all
// right under the top one, Level<count - 1>.
std::string typeSchemaDocument(int count, bool chain);

}  // namespace Quillomark::Bench
