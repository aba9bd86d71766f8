#include "Core/Responses/HTTPErrorResponse.h"
