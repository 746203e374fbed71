// The document: it holds no data, reads nothing and writes nothing.
#pragma once

#include "doctemplate.h"

class CDovraxDoc : public platform::Document
{
public:
    CDovraxDoc() = default;
};
