#include "Core/Responses/HTTPRedirectResponse.h"

std::map<std::string, std::string> HTTPRedirectResponse::httpHeaders() { return {{"Location", redirectPath_}}; }
