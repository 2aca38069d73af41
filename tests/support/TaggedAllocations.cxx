#include <tests/support/TaggedAllocations.hxx>

#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace Quillomark::Testing::TaggedAllocations {

namespace {

struct Book {
    std::mutex mutex;
    std::unordered_map<void*, char> makers;  // block -> 'A' or 'B'
    Counts a;
    Counts b;

    Counts& of(char pair) { return pair == 'A' ? a : b; }
};

// Never destroyed: threads that outlive a test may still release.
Book& book() {
    static Book* const instance = new Book;
    return *instance;
}

void* allocate(char pair, std::size_t size) {
    void* memory = std::malloc(size);
    if (!memory) return nullptr;
    Book& books = book();
    std::lock_guard<std::mutex> guard(books.mutex);
    books.makers[memory] = pair;
    ++books.of(pair).outstanding;
    return memory;
}

// Forgets the block; 0 when no pair made it.
char forget(void* memory) {
    Book& books = book();
    std::lock_guard<std::mutex> guard(books.mutex);
    const auto found = books.makers.find(memory);
    if (found == books.makers.end()) return 0;
    const char maker = found->second;
    books.makers.erase(found);
    --books.of(maker).outstanding;
    return maker;
}

void release(char pair, void* memory) {
    if (!memory) return;
    if (forget(memory) != pair) {
        std::lock_guard<std::mutex> guard(book().mutex);
        ++book().of(pair).foreign;
    }
    std::free(memory);
}

}  // namespace

void* allocA(std::size_t size) { return allocate('A', size); }
void releaseA(void* memory) { release('A', memory); }
void* allocB(std::size_t size) { return allocate('B', size); }
void releaseB(void* memory) { release('B', memory); }

void releaseAny(void* memory) {
    if (!memory) return;
    forget(memory);
    std::free(memory);
}

Counts countsOf(char pair) {
    Book& books = book();
    std::lock_guard<std::mutex> guard(books.mutex);
    return books.of(pair);
}

}  // namespace Quillomark::Testing::TaggedAllocations
