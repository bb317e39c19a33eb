// Placeholder: the transport lands here.
