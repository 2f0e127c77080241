// A growing array in fixed-size blocks: appending never moves what is stored,
// and growth never needs a second copy of the whole array. Element access is a
// shift and a mask. Used by the capture store for samples and their summaries.
#pragma once

#include <QtGlobal>

#include <memory>
#include <vector>

template <typename T, int blockBits> class ChunkedArray
{
public:
    static constexpr qint64 blockSize = qint64(1) << blockBits;

    qint64 size() const { return count; }
    bool isEmpty() const { return count == 0; }

    const T& operator[](qint64 i) const
    {
        return blocks[std::size_t(i >> blockBits)][std::size_t(i & (blockSize - 1))];
    }
    T& operator[](qint64 i)
    {
        return blocks[std::size_t(i >> blockBits)][std::size_t(i & (blockSize - 1))];
    }

    // Element i and those after it up to the end of its block lie contiguous.
    const T* block(qint64 i) const
    {
        return blocks[std::size_t(i >> blockBits)].get() + std::size_t(i & (blockSize - 1));
    }

    void append(const T& value)
    {
        if ((count & (blockSize - 1)) == 0 && (count >> blockBits) == qint64(blocks.size()))
            blocks.emplace_back(new T[std::size_t(blockSize)]);
        (*this)[count++] = value;
    }

    void clear()
    {
        blocks.clear();
        blocks.shrink_to_fit();
        count = 0;
    }

    // Bytes held, for the memory figures.
    qint64 capacityBytes() const { return qint64(blocks.size()) * blockSize * qint64(sizeof(T)); }

private:
    std::vector<std::unique_ptr<T[]>> blocks;
    qint64 count = 0;
};
